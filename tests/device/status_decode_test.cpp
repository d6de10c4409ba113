// The pure decodes behind the status window: script results, modes,
// multiphase texts and the board sensor.
#include "device/status_decode.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace evalpanel;

TEST(StatusPoll, ClassifiesScriptResults) {
    const std::pair<int, PollOutcome> rows[] = {
        {0, PollOutcome::Ok},           {0x000FFFFF, PollOutcome::Ok}, {0x10000000, PollOutcome::Ok},
        {-1, PollOutcome::AdapterLost}, {0x00100000, PollOutcome::Nack}, {0x08000000, PollOutcome::Nack},
        {-4, PollOutcome::Nack}};
    for (const auto &[result, outcome] : rows)
        EXPECT_EQ(classify_script_result(result), outcome) << std::hex << result;
}

TEST(StatusModes, EveryStateValue) {
    const struct { int state; const char *plain, *low_power; } cases[] = { // nullptr: no text
        {0, "Disabled", "Disabled"}, {1, "Idle phase", "Idle phase"}, {2, "Idle phase", "Idle phase"},
        {3, "Soft Start-Up", "Soft Start-Up"}, {4, "PWM", "PWM"}, {5, "PFM", "ECO"},
        {7, "PFM", "ECO"},           {8, "PWM", "PWM"},       {12, "PWM", "PWM"},
        {13, "Sleeping", "Sleeping"}, {14, "PWM", "PWM"},     {15, "Test Mode", "Test Mode"}};
    for (const auto &c : cases) {
        for (bool low_power : {false, true}) {
            const char *want = low_power ? c.low_power : c.plain;
            const std::optional<QString> got = mode_text(c.state, low_power);
            EXPECT_EQ(got.value_or("<none>"), want ? want : "<none>") << "state " << c.state;
        }
    }
}

QString master(int active, int phases) {
    return QStringLiteral("Master; %1/%2 Phases Active").arg(active).arg(phases);
}

TEST(StatusMultiphase, MasterCountsActivePhasesFromItsState) {
    const struct { int config, buck, state; QString want; } cases[] = {
        {2, 0, 9, master(1, 2)}, // 9 is beyond 2 + 6
        {2, 0, 8, master(2, 2)},  {0, 0, 9, master(3, 3)}, {0, 0, 10, master(1, 3)},
        {0, 0, 7, master(1, 3)},  {7, 3, 9, master(3, 3)}, {6, 0, 12, master(6, 6)},
        {6, 0, 13, master(1, 6)},
    };
    for (const auto &c : cases) {
        std::array<int, kBuckCount> states{};
        states[c.buck] = c.state;
        EXPECT_EQ(multiphase_texts(c.config, states)[c.buck], c.want)
            << "config " << c.config << " state " << c.state;
    }
    // A slave's own state does not change its text.
    EXPECT_EQ(multiphase_texts(0, {0, 9, 9, 0, 9, 9})[1], "Slave to Buck0");
}

TEST(StatusTemperature, BoardSensor) {
    const struct { uint8_t msb, lsb; double celsius; const char *text; } cases[] = {
        {0xFF, 0x00, -1.0, "-1.0"},     {0x19, 0x0F, 25.0, "25.0"},
        {0x00, 0x10, 0.0625, "0.1"},    {0x7F, 0xF0, 127.9375, "127.9"},
        {0x80, 0x00, -128.0, "-128.0"}};
    for (const auto &c : cases) {
        const double t = board_temperature(c.msb, c.lsb);
        EXPECT_DOUBLE_EQ(t, c.celsius);
        EXPECT_EQ(board_temperature_text(t), QString::fromLatin1(c.text) + QStringLiteral(" \u00B0C"));
    }
    ResultBlock block{};
    block[rx5120::result::kBoardSensor] = 0xFF;
    EXPECT_DOUBLE_EQ(board_temperature(block), -1.0);
}

} // namespace
