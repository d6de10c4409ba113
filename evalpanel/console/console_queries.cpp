// The console's queries for programs and scripts: expect (a read compared
// with a value), identify (program, adapter, connection, chip) and status
// (one poll, as a row of the recording).
#include "command_interpreter.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include <QDateTime>

#include "console/reg_expression.h"
#include "registers/value_parse.h"
#include "device/device_session.h"
#include "device/status_decode.h"
#include "device/telemetry.h"
#include "registers/field_units.h"
#include "registers/register_map.h"
#include "registers/register_table.h"

namespace console {

namespace {

constexpr const char *kUsbError = "USB ERROR";

// What the console's read of a name shows: a field's, register's or
// address form's value, or a pin's level.
struct NamedRead {
    bool known = false; // the name is a field, register, address form or pin
    int64_t value = -1; // -1: the read failed
};

// "0x21", as the console's query shows a value: at least two upper-case
// hexadecimal digits.
QString hex_value(uint32_t value) {
    return QStringLiteral("0x") +
           QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

} // namespace

// expect(NAME, VALUE): reads NAME as a query line does and compares. A
// mismatch is a failure, as is a read that failed.
int CommandInterpreter::expect(const char *line) {
    const auto argument = call_argument(line, "expect");
    if (!argument)
        return -1;
    const auto started = std::chrono::steady_clock::now();
    tap_.last = QString();
    bool compared = false;
    const int result = compare_expected(*argument, &compared);
    mismatched_ = compared && result == 0;
    if (check_observer_) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        check_observer_({compared, result == 0 ? tap_.last : QString(), took.count()});
    }
    return result;
}

namespace {

// What a key of `status` can hold: texts of a set (any text when the set is
// empty), or numbers from min to max.
struct StatusKey {
    QStringList texts;
    bool numeric = false;
    double min = 0, max = 0;
};

std::optional<StatusKey> status_key(const QString &name) {
    const QStringList header = evalpanel::CsvRecorder::header();
    if (name == QLatin1String("time_s") || name == QLatin1String("events") ||
        !header.contains(name))
        return std::nullopt;
    const auto number = [](double min, double max) { return StatusKey{{}, true, min, max}; };
    if (name == QLatin1String("clock"))
        return StatusKey{};
    if (name == QLatin1String("state"))
        return StatusKey{{QStringLiteral("not connected"), QStringLiteral("ready"),
                          QStringLiteral("NACK")}};
    if (name.startsWith(QLatin1String("mode_B"))) {
        // Every text a buck's mode can show, as the poll decodes it.
        StatusKey modes;
        for (int state = 0; state < 16; ++state) {
            for (const bool low_power : {false, true}) {
                const auto text = evalpanel::mode_text(state, low_power);
                const QString shown = text ? *text : QStringLiteral("state %1").arg(state);
                if (!modes.texts.contains(shown))
                    modes.texts << shown;
            }
        }
        modes.texts << evalpanel::kUndefinedText;
        return modes;
    }
    if (name == QLatin1String("current_source"))
        return number(0, 7);
    if (name.startsWith(QLatin1String("I_")))
        return number(0, 2047 * 10); // 11 bits of 10 mA
    if (name == QLatin1String("VOUT_B5_V"))
        return number(0, 2.5); // the converter's reference
    if (name == QLatin1String("board_C"))
        return number(-128, 128); // 12 bits of 1/16 degree
    if (name == QLatin1String("die_temp_level"))
        return number(0, 3);
    return number(0, 1); // flags, masks, the interrupt line
}

// A number as a script writes it: decimal (with a fraction), or any form
// of get_val.
std::optional<double> number_value(const QString &text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (ok)
        return value;
    uint32_t whole = 0;
    const QByteArray bytes = text.toLatin1();
    if (bytes.size() <= kMaxExpressionWord && evalpanel::get_val(bytes.constData(), &whole) == 0)
        return whole;
    return std::nullopt;
}

} // namespace

int CommandInterpreter::compare_expected(const QString &argument, bool *compared) {
    const qsizetype comma = argument.indexOf(QLatin1Char(','));
    const QString name = argument.left(comma).trimmed();
    const QString value_text = comma < 0 ? QString() : argument.mid(comma + 1).trimmed();
    if (comma < 0 || name.isEmpty() || value_text.isEmpty())
        return fail(QStringLiteral("expect needs a name and a value: expect(NAME, VALUE)"));
    // A value, or an inclusive range LOW..HIGH.
    const qsizetype dots = value_text.indexOf(QLatin1String(".."));
    const QString low_text = (dots < 0 ? value_text : value_text.left(dots)).trimmed();
    const QString high_text = (dots < 0 ? value_text : value_text.mid(dots + 2)).trimmed();
    const QString range_refused =
        QStringLiteral("expect: %1 takes %2..%3; %4 is outside");
    const QByteArray name8 = name.toLatin1();

    NamedRead read;
    bool pin = false;
    uint32_t max = 0;
    char definition[evalpanel::kLineSize];
    if (name8.size() <= kMaxExpressionWord &&
        (evalpanel::find_reg_by_name(name8.constData(), definition, sizeof definition) >= 0 ||
         evalpanel::make_numeric_access(name8.constData(), definition, sizeof definition) != 0)) {
        read.known = true;
        max = evalpanel::get_reg_max(definition);
    } else if (name8.startsWith("PIN_") && name8.size() <= kMaxExpressionWord &&
               evalpanel::find_io_pin_by_name(name8.constData(), definition, sizeof definition) >=
                   0) {
        read.known = pin = true;
        max = 1;
    } else if (status_key(name)) {
        return compare_status(name, low_text, high_text, compared);
    }
    if (!read.known)
        return fail(QStringLiteral("expect: no register, field, pin or status key named %1")
                        .arg(name));
    uint32_t low = 0, high = 0;
    const QByteArray low8 = low_text.toLatin1(), high8 = high_text.toLatin1();
    if (low8.size() > kMaxExpressionWord || high8.size() > kMaxExpressionWord ||
        evalpanel::get_val(low8.constData(), &low) != 0 ||
        evalpanel::get_val(high8.constData(), &high) != 0)
        return fail(QStringLiteral("value must be in hexadecimal,binary or decimal format."));
    for (const uint32_t v : {low, high}) {
        if (v > max)
            return fail(range_refused.arg(name, hex_value(0), hex_value(max), hex_value(v)));
    }
    if (low > high)
        return fail(QStringLiteral("expect: the range %1 is empty").arg(value_text));

    if (pin) {
        char port = 0, access = 0;
        int pin = 0;
        if (sscanf(definition, "io_pin(%*[^,],P%c%d,%c", &port, &pin, &access) == 3) {
            if (session_.have_adapter())
                read.value = session_.read_pin_level(port - 'A', pin);
            if (read.value < 0)
                return fail(QString::fromLatin1(kUsbError));
        }
    } else {
        read.value = evalpanel::get_reg_value(session_, definition);
    }
    if (read.value < 0)
        return transfer_failed();
    *compared = true;
    const auto value = static_cast<uint32_t>(read.value);
    if (value < low || value > high)
        return fail(QStringLiteral("expect %1: %2, expected %3")
                        .arg(name, hex_value(value),
                             dots < 0 ? hex_value(low)
                                      : hex_value(low) + QStringLiteral("..") + hex_value(high)));
    return 1;
}

// expect on a key of status: one poll, its value compared as text or as a
// number (within the range).
int CommandInterpreter::compare_status(const QString &name, const QString &low_text,
                                       const QString &high_text, bool *compared) {
    const StatusKey key = *status_key(name);
    const bool range = low_text != high_text;
    const QString expected = range ? low_text + QStringLiteral("..") + high_text : low_text;
    double low = 0, high = 0;
    if (key.numeric) {
        const auto l = number_value(low_text), h = number_value(high_text);
        if (!l || !h)
            return fail(QStringLiteral("expect: %1 takes a number or a range LOW..HIGH, not %2")
                            .arg(name, expected));
        low = *l;
        high = *h;
        for (const double v : {low, high}) {
            if (v < key.min || v > key.max)
                return fail(QStringLiteral("expect: %1 takes %2..%3; %4 is outside")
                                .arg(name, QString::number(key.min), QString::number(key.max),
                                     QString::number(v)));
        }
        if (low > high)
            return fail(QStringLiteral("expect: the range %1 is empty").arg(expected));
    } else if (range || (!key.texts.isEmpty() && !key.texts.contains(low_text))) {
        return fail(QStringLiteral("expect: %1 is one of %2; not %3")
                        .arg(name, key.texts.join(QStringLiteral(", ")), expected));
    }

    session_.poll();
    if (!session_.have_adapter())
        return fail(QString::fromLatin1(kUsbError));
    if (name == QLatin1String("board_C"))
        look_for_board_sensor();
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const QStringList header = evalpanel::CsvRecorder::header();
    const QStringList row =
        evalpanel::CsvRecorder::row(evalpanel::sample_session(session_, now), now, {});
    const qsizetype column = header.indexOf(name);
    const QString actual = column < row.size() ? row[column] : QString();
    *compared = true;
    bool matches = false;
    if (key.numeric) {
        bool ok = false;
        const double value = actual.toDouble(&ok);
        matches = ok && value >= low && value <= high;
    } else {
        matches = actual == low_text;
    }
    if (!matches)
        return fail(QStringLiteral("expect %1: %2, expected %3")
                        .arg(name, actual.isEmpty() ? QStringLiteral("(none)") : actual, expected));
    return 1;
}

// identify: which program, which adapter, the connection and the chip.
int CommandInterpreter::identify(const char *line) {
    if (strcmp(line, "identify") != 0)
        return -1;
    static const char *const kStates[] = {"not connected", "ready", "NACK"};
    const int state = session_.connection_state();
    const QString adapter = session_.have_adapter() && !session_.adapter_description().isEmpty()
                                ? session_.adapter_description()
                                : QStringLiteral("none");
    QString chip_id, level, page;
    if (session_.have_adapter()) {
        const int id = session_.register_read(rx5120::reg::kChipId);
        if (id >= 0)
            chip_id = hex_value(static_cast<uint32_t>(id));
        const int p = session_.register_read(rx5120::reg::kPage);
        if (p >= 0)
            page = QString::number(p);
    }
    // The level last applied holds only while the adapter is there.
    const int access = session_.have_adapter() ? session_.access_level() : -1;
    if (access >= 0 && access < 5)
        level = QString::fromLatin1(rx5120::kAccessLevelNames[access]);
    print(QStringLiteral("program: evalpanel %1").arg(QStringLiteral(EVALPANEL_VERSION)));
    print(QStringLiteral("adapter: %1").arg(adapter));
    print(QStringLiteral("connection: %1")
              .arg(QString::fromLatin1(kStates[state >= 0 && state <= 2 ? state : 0])));
    print(QStringLiteral("chip id: %1").arg(chip_id));
    print(QStringLiteral("access level: %1").arg(level));
    print(QStringLiteral("page: %1").arg(page));
    return 1;
}

// status: one poll, decoded as a row of the recording, a "key: value" line
// per column (without the time and the events); "status KEY..." prints
// those keys only, in that order.
int CommandInterpreter::status(const char *line) {
    if (strncmp(line, "status", 6) != 0 || (line[6] != '\0' && line[6] != ' '))
        return -1;
    const QStringList header = evalpanel::CsvRecorder::header();
    QStringList keys = QString::fromLatin1(line + 6).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &key : keys) {
        if (key == QLatin1String("time_s") || key == QLatin1String("events") ||
            !header.contains(key))
            return fail(QStringLiteral("status: no key named %1").arg(key));
    }
    if (keys.isEmpty())
        keys = header.mid(1, header.size() - 2); // without time_s and events
    session_.poll();
    if (!session_.have_adapter())
        return fail(QString::fromLatin1(kUsbError));
    // As temp does: a sensor powered by PIN_VIO_SYS = 1 is found here, not
    // shown as unknown.
    look_for_board_sensor();
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const evalpanel::TelemetrySample sample = evalpanel::sample_session(session_, now);
    const QStringList row = evalpanel::CsvRecorder::row(sample, now, {});
    for (const QString &key : keys) {
        const qsizetype i = header.indexOf(key);
        print(QStringLiteral("%1: %2").arg(key, i < row.size() ? row[i] : QString()));
    }
    return 1;
}

// fields: one line per field of the register table, in table order: name,
// register (the first, for a field that spans several), bits, access, the
// values it takes and the unit they count in (none for plain numbers):
// "VSET_B0 0x00 [6:0] RW 0..127 mV".
int CommandInterpreter::fields(const char *line) {
    if (strcmp(line, "fields") != 0)
        return -1;
    for (const evalpanel::FieldInfo &f : evalpanel::register_map().fields) {
        if (f.segments.empty())
            continue;
        const QString unit = QString::fromLatin1(evalpanel::field_unit(f.name));
        print(QStringLiteral("%1 %2 %3 %4 0..%5%6")
                  .arg(f.name, hex_value(f.segments.front().address), f.bits_text(),
                       QLatin1String(f.read_only ? "RO" : "RW"),
                       QString::number(evalpanel::detail::low_mask(f.width)),
                       unit.isEmpty() ? QString() : QLatin1Char(' ') + unit));
    }
    return 1;
}

} // namespace console
