#include "device/status_decode.h"

using namespace evalpanel;
namespace block = rx5120::result;

#include <gtest/gtest.h>

#include <optional>

namespace {

const QChar kDegree(0x00B0);

TEST(StatusPoll, ClassifiesScriptResults) {
    EXPECT_EQ(classify_script_result(0), PollOutcome::Ok);
    EXPECT_EQ(classify_script_result(0x000FFFFF), PollOutcome::Ok);
    EXPECT_EQ(classify_script_result(0x10000000), PollOutcome::Ok);
    EXPECT_EQ(classify_script_result(-1), PollOutcome::AdapterLost);
    EXPECT_EQ(classify_script_result(0x00100000), PollOutcome::Nack);
    EXPECT_EQ(classify_script_result(0x08000000), PollOutcome::Nack);
    EXPECT_EQ(classify_script_result(-4), PollOutcome::Nack);
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

TEST(StatusModes, ReadsEachBucksBytes) {
    ResultBlock block{};
    // Buck3 in PFM with the low-power variant; the high nibble of the state
    // register and the other variant bits do not count.
    block[block::mode_state(3)] = 0xF6;
    block[block::mode_variant(3)] = 0xFB | 0x04;
    block[block::mode_state(4)] = 0x06;
    block[block::mode_variant(4)] = 0xFB;
    block[block::mode_state(5)] = 0x2D;
    EXPECT_EQ(mode_state(block, 3), 6);
    EXPECT_EQ(buck_mode_text(block, 0), "Disabled");
    EXPECT_EQ(buck_mode_text(block, 3), "ECO");
    EXPECT_EQ(buck_mode_text(block, 4), "PFM");
    EXPECT_EQ(buck_mode_text(block, 5), "Sleeping");
    EXPECT_EQ(block::mode_state(5), 11);
    EXPECT_EQ(block::mode_variant(5), 12);
}

TEST(StatusLoadCurrent, RoutesBySource) {
    ResultBlock block{};
    block[block::kLoadCurrentSelect] = 0x35; // high bits 3, source 5
    block[block::kLoadCurrentLow] = 0x12;
    LoadCurrentReading r = load_current(block);
    EXPECT_EQ(r.source, 5);
    EXPECT_EQ(r.raw, 0x312);
    EXPECT_EQ(load_current_text(r.raw), "7860 mA");

    block[block::kLoadCurrentSelect] = 0xFE; // bits 7 and 3 are not part of either field
    block[block::kLoadCurrentLow] = 0xFF;
    r = load_current(block);
    EXPECT_EQ(r.source, 6);
    EXPECT_EQ(r.raw, 0x7FF);
    EXPECT_EQ(load_current_text(r.raw), "20470 mA");

    for (int source = 0; source <= 6; ++source)
        EXPECT_EQ(current_field_for_source(source), source);
    EXPECT_EQ(current_field_for_source(7), -1);
    block[block::kLoadCurrentSelect] = 0x07;
    EXPECT_EQ(current_field_for_source(load_current(block).source), -1);
}

const char *const kS0 = "Slave to Buck0";
const char *const kS3 = "Slave to Buck3";
const char *const kOne = "Single";

QString master(int active, int phases) {
    return QStringLiteral("Master; %1/%2 Phases Active").arg(active).arg(phases);
}

TEST(StatusMultiphase, RowsWithIdleMasters) {
    const std::array<int, kBuckCount> idle{};
    const struct {
        int config;
        QString row[kBuckCount];
    } rows[] = {
        {0, {master(1, 3), kS0, kS0, master(1, 2), kS3, kOne}},
        {1, {kOne, kOne, kOne, kOne, kOne, kOne}},
        {2, {master(1, 2), kS0, kOne, kOne, kOne, kOne}},
        {6, {master(1, 6), kS0, kS0, kS0, kS0, kS0}},
        {8, {master(1, 2), kS0, kOne, master(1, 2), kS3, kOne}},
        {9, {master(1, 4), kS0, kS0, master(1, 2), kS3, kS0}},
    };
    for (const auto &r : rows) {
        const auto texts = multiphase_texts(r.config, idle);
        for (int buck = 0; buck < kBuckCount; ++buck)
            EXPECT_EQ(texts[buck], r.row[buck]) << "config " << r.config << " buck " << buck;
    }
}

TEST(StatusMultiphase, UnassignedConfigurationsReadAsZero) {
    ResultBlock block{};
    for (int raw : {0x0A, 0x0C, 0x0F, 0xFC}) {
        block[block::kMultiphaseConfig] = static_cast<uint8_t>(raw);
        EXPECT_EQ(multiphase_configuration(block), 0) << raw;
    }
    block[block::kMultiphaseConfig] = 0xF9;
    EXPECT_EQ(multiphase_configuration(block), 9);
    const std::array<int, kBuckCount> states{8, 0, 0, 9, 0, 0};
    EXPECT_EQ(multiphase_texts(12, states), multiphase_texts(0, states));
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

TEST(StatusTemperature, ChipLevels) {
    EXPECT_EQ(chip_temperature_level(0xFC), 0);
    EXPECT_EQ(chip_temperature_level(0x05), 1);
    EXPECT_EQ(chip_temperature_level(0xFE), 2);
    EXPECT_EQ(chip_temperature_level(0x03), 3);
    const QString want[4] = {
        QStringLiteral("Die temperature lower than 85 ") + kDegree + 'C',
        QStringLiteral("Die temperature between 75 and 120 ") + kDegree + 'C',
        QStringLiteral("Die temperature between 110 and 150 ") + kDegree + 'C',
        QStringLiteral("Die temperature 130 ") + kDegree + QStringLiteral("C or higher"),
    };
    for (int level = 0; level < 4; ++level)
        EXPECT_EQ(chip_temperature_text(level), want[level]);
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
    // The text is UTF-16 inside: the degree sign is one character, U+00B0.
    EXPECT_EQ(board_temperature_text(-1.0).size(), 7);
    EXPECT_EQ(board_temperature_text(-1.0).toUtf8(), QByteArray("-1.0 \xC2\xB0"
                                                                "C"));
}

TEST(StatusMeasurement, ConverterInputsAndScaling) {
    const int offsets[][3] = {{0, 2, 0x21}, {0, 3, 0x11}, {1, 0, 0x13},
                              {1, 1, 0x15}, {1, 2, 0x17}, {1, 3, 0x1F}};
    ResultBlock block{};
    for (const auto &o : offsets) {
        EXPECT_EQ(converter_offset(o[0], o[1]), o[2]);
        // A distinct value per input: 0x100 * channel + unit + 4, low byte first.
        block[o[2]] = static_cast<uint8_t>(o[0] + 4);
        block[o[2] + 1] = static_cast<uint8_t>(o[1]);
    }
    for (const auto &o : offsets)
        EXPECT_DOUBLE_EQ(converter_reading(block, o[0], o[1], 1.0, 0, 1.0),
                         0x100 * o[1] + o[0] + 4);
    EXPECT_EQ(converter_offset(0, 0), -1);
    EXPECT_EQ(converter_offset(2, 0), -1);
    EXPECT_DOUBLE_EQ(converter_reading(block, 2, 0, 1.0, 0, 1.0), 0.0);

    // The Buck0 voltage field adc010010250100: raw * 2.5 / 1024.
    block[0x13] = 0x00;
    block[0x14] = 0x04;
    EXPECT_DOUBLE_EQ(converter_reading(block, 1, 0, 2.5, 10, 1.0), 2.5);
    EXPECT_DOUBLE_EQ(converter_reading(block, 1, 0, 2.5, 42, 1.0), 2.5); // shift modulo 32
    block[0x13] = 0xFF;
    block[0x14] = 0xFF;
    EXPECT_DOUBLE_EQ(converter_reading(block, 1, 0, 2.5, 10, 1.0), 65535 * 2.5 / 1024);
    EXPECT_EQ(measurement_text(2.5), "2.50");
    EXPECT_EQ(measurement_text(0.0), "0.00");
    EXPECT_EQ(measurement_text(0.005), "0.01");
    EXPECT_LE(measurement_text(1e12).size(), 11);
}

} // namespace
