// What the values of some fields stand for: the quantities the window's
// selectors and readouts show them as. Other fields are plain numbers (flags,
// levels, codes) and have no unit.
#pragma once

#include <QStringView>

namespace evalpanel {

// VSET_Bk, a buck's output voltage: value v is 500 mV + v * 10 mV. The
// selectors offer the values 10 to 117 (600 mV to 1670 mV).
constexpr int kOutputVoltageZeroMv = 500;
constexpr int kOutputVoltageStepMv = 10;
constexpr int kOutputVoltageFirstItem = 10;
constexpr int kOutputVoltageLastItem = 117;

// DELAY_Bk, a buck's start-up delay: v * 0.1 ms; 255 is never.
constexpr double kDelayStepMs = 0.1;
constexpr int kDelayNever = 255;

// BUCK_LOAD_CURR (and the load-current readout): v * 10 mA.
constexpr int kLoadCurrentStepMa = 10;

// "mV", "ms" or "mA" for the fields above, "" for every other name.
const char *field_unit(QStringView field_name);

} // namespace evalpanel
