#include "device/status_decode.h"

using namespace evalpanel;
namespace block = rx5120::result;

#include <gtest/gtest.h>

#include <optional>

namespace {

const QChar kDegree(0x00B0);

TEST(StatusPoll, ClassifiesScriptResults) {
    const std::pair<int, PollOutcome> rows[] = {
        {0, PollOutcome::Ok},           {0x000FFFFF, PollOutcome::Ok}, {0x10000000, PollOutcome::Ok},
        {-1, PollOutcome::AdapterLost}, {0x00100000, PollOutcome::Nack}, {0x08000000, PollOutcome::Nack},
        {-4, PollOutcome::Nack}};
    for (const auto &[result, outcome] : rows)
        EXPECT_EQ(classify_script_result(result), outcome) << std::hex << result;
}

struct ModeCase {
    int state;
    const char *plain; // nullptr: text left as it was
    const char *low_power;
};

TEST(StatusModes, EveryStateValue) {
    const ModeCase cases[] = {
        {0, "Disabled", "Disabled"}, {1, nullptr, nullptr},
        {2, nullptr, nullptr},       {3, "Soft Start-Up", "Soft Start-Up"},
        {4, "PWM", "PWM"},           {5, "PFM", "ECO"},
        {7, "PFM", "ECO"},           {8, "PWM", "PWM"},
        {12, "PWM", "PWM"},          {13, "Sleeping", "Sleeping"},
        {14, "PWM", "PWM"},          {15, "Test Mode", "Test Mode"},
    };
    for (const ModeCase &c : cases) {
        for (bool low_power : {false, true}) {
            const char *want = low_power ? c.low_power : c.plain;
            const std::optional<QString> got = mode_text(c.state, low_power);
            if (want == nullptr)
                EXPECT_FALSE(got.has_value()) << "state " << c.state;
            else
                EXPECT_EQ(got.value_or("<none>"), want) << "state " << c.state;
        }
    }
}

const char *const kS0 = "Slave to Buck0";

QString master(int active, int phases) {
    return QStringLiteral("Master; %1/%2 Phases Active").arg(active).arg(phases);
}

TEST(StatusMultiphase, MasterCountsActivePhasesFromItsState) {
    struct Case {
        int config, buck, state;
        QString want;
    } cases[] = {
        {2, 0, 9, master(1, 2)}, // 9 is beyond 2 + 6
        {2, 0, 8, master(2, 2)},  {0, 0, 9, master(3, 3)}, {0, 0, 10, master(1, 3)},
        {0, 0, 7, master(1, 3)},  {7, 3, 9, master(3, 3)}, {6, 0, 12, master(6, 6)},
        {6, 0, 13, master(1, 6)},
    };
    for (const Case &c : cases) {
        std::array<int, kBuckCount> states{};
        states[c.buck] = c.state;
        EXPECT_EQ(multiphase_texts(c.config, states)[c.buck], c.want)
            << "config " << c.config << " state " << c.state;
    }
    // A slave's own state does not change its text.
    EXPECT_EQ(multiphase_texts(0, {0, 9, 9, 0, 9, 9})[1], kS0);
}

TEST(StatusTemperature, BoardSensor) {
    struct Case {
        uint8_t msb, lsb;
        double celsius;
        const char *text; // before the degree sign
    } cases[] = {
        {0xFF, 0x00, -1.0, "-1.0"},     {0x19, 0x0F, 25.0, "25.0"},
        {0x00, 0x10, 0.0625, "0.1"},    {0x7F, 0xF0, 127.9375, "127.9"},
        {0x80, 0x00, -128.0, "-128.0"},
    };
    for (const Case &c : cases) {
        const double t = board_temperature(c.msb, c.lsb);
        EXPECT_DOUBLE_EQ(t, c.celsius);
        EXPECT_EQ(board_temperature_text(t), QString::fromLatin1(c.text) + ' ' + kDegree + 'C');
    }
    ResultBlock block{};
    block[block::kBoardSensor] = 0xFF;
    block[block::kBoardSensor + 1] = 0x00;
    EXPECT_DOUBLE_EQ(board_temperature(block), -1.0);
}

} // namespace
