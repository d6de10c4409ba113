// The configurable registers read live, with what a saved file's header
// says about them: shared by saving, exporting and comparing with the chip.
#pragma once

#include <array>
#include <cstdint>

#include "device/configuration.h"

namespace evalpanel {

class DeviceSession;

struct ConfigurationImage {
    std::array<uint8_t, 256> image{}; // page 0; the configurable span read live
    ConfigurationHeader header;
};

// One block read of the configurable span on page 0, the chip ID read on
// the same page, then the user's page selected again. false when the chip
// could not be read.
bool read_configuration_image(DeviceSession &session, ConfigurationImage &out);

// Unit texts in ASCII ("mV/us"), for files that run as scripts or compile.
QString ascii_units(QString text);

} // namespace evalpanel
