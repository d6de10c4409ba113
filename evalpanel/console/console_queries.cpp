// The console's queries for programs and scripts: expect (a read compared
// with a value), identify (program, adapter, connection, chip) and status
// (one poll, as a row of the recording).
#include "command_interpreter.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include <QDateTime>

#include "console/reg_expression.h"
#include "registers/value_parse.h"
#include "device/device_session.h"
#include "device/telemetry.h"
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
    const qsizetype comma = argument->indexOf(QLatin1Char(','));
    const QString name = argument->left(comma).trimmed();
    const QString value_text = comma < 0 ? QString() : argument->mid(comma + 1).trimmed();
    if (comma < 0 || name.isEmpty() || value_text.isEmpty())
        return fail(QStringLiteral("expect needs a name and a value: expect(NAME, VALUE)"));
    const QByteArray name8 = name.toLatin1();
    const QByteArray value8 = value_text.toLatin1();
    uint32_t wanted = 0;
    if (value8.size() > kMaxExpressionWord || evalpanel::get_val(value8.constData(), &wanted) != 0)
        return fail(QStringLiteral("value must be in hexadecimal,binary or decimal format."));

    NamedRead read;
    char definition[evalpanel::kLineSize];
    if (name8.size() <= kMaxExpressionWord &&
        (evalpanel::find_reg_by_name(name8.constData(), definition, sizeof definition) >= 0 ||
         evalpanel::make_numeric_access(name8.constData(), definition, sizeof definition) != 0)) {
        read.known = true;
        read.value = evalpanel::get_reg_value(session_, definition);
    } else if (name8.startsWith("PIN_") && name8.size() <= kMaxExpressionWord &&
               evalpanel::find_io_pin_by_name(name8.constData(), definition, sizeof definition) >=
                   0) {
        char port = 0, access = 0;
        int pin = 0;
        if (sscanf(definition, "io_pin(%*[^,],P%c%d,%c", &port, &pin, &access) == 3) {
            read.known = true;
            if (session_.have_adapter())
                read.value = session_.read_pin_level(port - 'A', pin);
            if (read.value < 0)
                return fail(QString::fromLatin1(kUsbError));
        }
    }
    if (!read.known)
        return fail(QStringLiteral("expect: no register, field or pin named %1").arg(name));
    if (read.value < 0)
        return transfer_failed();
    if (static_cast<uint32_t>(read.value) != wanted)
        return fail(
            QStringLiteral("expect %1: %2, expected %3")
                .arg(name, hex_value(static_cast<uint32_t>(read.value)), hex_value(wanted)));
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
// per column (without the time and the events).
int CommandInterpreter::status(const char *line) {
    if (strcmp(line, "status") != 0)
        return -1;
    session_.poll();
    if (!session_.have_adapter())
        return fail(QString::fromLatin1(kUsbError));
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const evalpanel::TelemetrySample sample = evalpanel::sample_session(session_, now);
    const QStringList header = evalpanel::CsvRecorder::header();
    const QStringList row = evalpanel::CsvRecorder::row(sample, now, {});
    for (qsizetype i = 0; i < header.size() && i < row.size(); ++i) {
        if (header[i] == QLatin1String("time_s") || header[i] == QLatin1String("events"))
            continue;
        print(QStringLiteral("%1: %2").arg(header[i], row[i]));
    }
    return 1;
}

} // namespace console
