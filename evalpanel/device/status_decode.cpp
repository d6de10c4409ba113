#include "device/status_decode.h"

#include <cmath>

namespace evalpanel {

namespace {

namespace result = rx5120::result;

// One cell of the multiphase table: a master of N phases, a slave to Buck0 or
// Buck3, or a single buck.
enum class Role : uint8_t { Single, Slave0, Slave3, Master2, Master3, Master4, Master5, Master6 };

using enum Role;

// Row per multiphase configuration 0 to 9, columns Buck0 to Buck5.
constexpr Role kMultiphaseTable[10][kBuckCount] = {
    {Master3, Slave0, Slave0, Master2, Slave3, Single},
    {Single, Single, Single, Single, Single, Single},
    {Master2, Slave0, Single, Single, Single, Single},
    {Master3, Slave0, Slave0, Single, Single, Single},
    {Master4, Slave0, Slave0, Slave0, Single, Single},
    {Master5, Slave0, Slave0, Slave0, Slave0, Single},
    {Master6, Slave0, Slave0, Slave0, Slave0, Slave0},
    {Master3, Slave0, Slave0, Master3, Slave3, Slave3},
    {Master2, Slave0, Single, Master2, Slave3, Single},
    {Master4, Slave0, Slave0, Master2, Slave3, Slave0},
};

int master_phases(Role role) {
    switch (role) {
    case Master2:
        return 2;
    case Master3:
        return 3;
    case Master4:
        return 4;
    case Master5:
        return 5;
    case Master6:
        return 6;
    default:
        return 0;
    }
}

QString role_text(Role role, int mode_state) {
    switch (role) {
    case Single:
        return QStringLiteral("Single");
    case Slave0:
        return QStringLiteral("Slave to Buck0");
    case Slave3:
        return QStringLiteral("Slave to Buck3");
    default:
        break;
    }
    // A master in states 8 and up counts its active phases from 2; any other
    // state (or one beyond its group) means it runs alone.
    const int phases = master_phases(role);
    const int active = mode_state >= 8 && mode_state <= phases + 6 ? mode_state - 6 : 1;
    return QStringLiteral("Master; %1/%2 Phases Active").arg(active).arg(phases);
}

int get_le16(const ResultBlock &block, int offset) {
    return block[offset] | (block[offset + 1] << 8);
}

} // namespace

PollOutcome classify_script_result(int32_t result) {
    if ((static_cast<uint32_t>(result) & 0x0FF00000u) == 0)
        return PollOutcome::Ok;
    return result == -1 ? PollOutcome::AdapterLost : PollOutcome::Nack;
}

int mode_state(const ResultBlock &block, int buck) {
    return block[result::mode_state(buck)] & 0x0F;
}

std::optional<QString> mode_text(int state, bool low_power_variant) {
    switch (state) {
    case 0:
        return QStringLiteral("Disabled");
    case 1:
    case 2:
        // Between phases of the power-up sequence.
        return QStringLiteral("Idle phase");
    case 3:
        return QStringLiteral("Soft Start-Up");
    case 4:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 14:
        return QStringLiteral("PWM");
    case 5:
    case 6:
    case 7:
        return low_power_variant ? QStringLiteral("ECO") : QStringLiteral("PFM");
    case 13:
        return QStringLiteral("Sleeping");
    case 15:
        return QStringLiteral("Test Mode");
    default:
        return std::nullopt;
    }
}

std::optional<QString> buck_mode_text(const ResultBlock &block, int buck) {
    return mode_text(mode_state(block, buck), (block[result::mode_variant(buck)] & 0x04) != 0);
}

LoadCurrentReading load_current(const ResultBlock &block) {
    const int select = block[result::kLoadCurrentSelect];
    return {select & 7, ((select << 4) & 0x700) | block[result::kLoadCurrentLow]};
}

int current_field_for_source(int source) {
    return source >= 0 && source <= 6 ? source : -1;
}

QString load_current_text(int raw) {
    return QStringLiteral("%1 mA").arg(raw * 10);
}

int multiphase_configuration(const ResultBlock &block) {
    const int configuration = block[result::kMultiphaseConfig] & 0x0F;
    return configuration >= 10 ? 0 : configuration;
}

int multiphase_master(int configuration, int buck) {
    if (configuration < 0 || configuration >= 10)
        configuration = 0;
    switch (kMultiphaseTable[configuration][buck]) {
    case Slave0:
        return 0;
    case Slave3:
        return 3;
    default:
        return buck;
    }
}

std::array<QString, kBuckCount> multiphase_texts(int configuration,
                                                 const std::array<int, kBuckCount> &mode_states) {
    if (configuration < 0 || configuration >= 10)
        configuration = 0;
    std::array<QString, kBuckCount> texts;
    for (int buck = 0; buck < kBuckCount; ++buck)
        texts[buck] = role_text(kMultiphaseTable[configuration][buck], mode_states[buck]);
    return texts;
}

int chip_temperature_level(uint8_t flags0) {
    return flags0 & 3;
}

QString chip_temperature_text(int level) {
    switch (level & 3) {
    case 0:
        return QStringLiteral("Die temperature lower than 85 \u00B0C");
    case 1:
        return QStringLiteral("Die temperature between 75 and 120 \u00B0C");
    case 2:
        return QStringLiteral("Die temperature between 110 and 150 \u00B0C");
    default:
        return QStringLiteral("Die temperature 130 \u00B0C or higher");
    }
}

double board_temperature(uint8_t msb, uint8_t lsb) {
    int raw = (msb << 4) | (lsb >> 4);
    if (raw > 0x7FF)
        raw -= 0x1000;
    return raw * 0.0625;
}

double board_temperature(const ResultBlock &block) {
    return board_temperature(block[result::kBoardSensor], block[result::kBoardSensor + 1]);
}

QString board_temperature_text(double celsius) {
    return QString::asprintf("%.1f", celsius) + QStringLiteral(" \u00B0C");
}

int converter_offset(int unit, int channel) {
    struct Input {
        int unit, channel, offset;
    };
    static constexpr Input kInputs[] = {
        {0, 2, result::kConverter0Ch2}, {0, 3, result::kConverter0Ch3},
        {1, 0, result::kConverter1Ch0}, {1, 1, result::kConverter1Ch1},
        {1, 2, result::kConverter1Ch2}, {1, 3, result::kConverter1Ch3},
    };
    for (const Input &in : kInputs) {
        if (in.unit == unit && in.channel == channel)
            return in.offset;
    }
    return -1;
}

double converter_reading(const ResultBlock &block, int unit, int channel, double a, int shift,
                         double b) {
    const int offset = converter_offset(unit, channel);
    if (offset < 0)
        return 0.0;
    const int raw = get_le16(block, offset);
    return a * raw * b / std::ldexp(1.0, ((shift % 32) + 32) % 32);
}

QString measurement_text(double value) {
    return QString::asprintf("%2.2f", value).left(11);
}

QString board_temperature_display(const ResultBlock &block, bool fresh, bool supply_on,
                                  bool sensor_present) {
    // The sensor is powered with the chip; a poll that failed read nothing.
    if (!fresh || !supply_on || !sensor_present)
        return kNotAvailableText;
    return board_temperature_text(board_temperature(block));
}

} // namespace evalpanel
