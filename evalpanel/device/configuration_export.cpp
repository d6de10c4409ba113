// The live configuration image, the C header export and comparisons.
#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <bit>
#include <optional>

#include "chip/rx5120.h"
#include "device/configuration.h"
#include "device/configuration_image.h"
#include "device/device_session.h"
#include "device/file_access.h"
#include "registers/field_meaning.h"
#include "registers/register_map.h"

namespace evalpanel {

namespace {

// The span every configurable register lies in: one block read covers it.
struct Span {
    uint8_t first = 0xFF;
    uint8_t last = 0;
};

Span configuration_span() {
    Span s;
    for (const auto &r : register_map().registers) {
        if (!r.in_configuration)
            continue;
        s.first = std::min(s.first, r.address);
        s.last = std::max(s.last, r.address);
    }
    return s;
}

QString hex(unsigned v) {
    return QString::asprintf("0x%02X", v);
}

// A field of a configuration: writable, every segment in a configurable
// register.
bool configurable(const FieldInfo &f) {
    if (f.read_only)
        return false;
    for (const auto &s : f.segments) {
        const RegisterInfo *r = register_map().register_at(s.address);
        if (r == nullptr || !r->in_configuration)
            return false;
    }
    return true;
}

// "set" when the plan sets every bit of the field, "none" when it sets none.
enum class Coverage { None, Part, All };
Coverage coverage(const FieldInfo &f, const ConfigurationPlan &plan) {
    int covered = 0, total = 0;
    for (const auto &s : f.segments) {
        const uint8_t m = f.mask_in(s.address);
        covered += std::popcount(static_cast<unsigned>(plan.mask[s.address] & m));
        total += std::popcount(static_cast<unsigned>(m));
    }
    return covered == 0 ? Coverage::None : covered == total ? Coverage::All : Coverage::Part;
}

// Comments must not end early: "*/" in a name would.
QString c_comment_safe(QString text) {
    return text.replace(QStringLiteral("*/"), QStringLiteral("* /"));
}

} // namespace

bool read_configuration_image(DeviceSession &session, ConfigurationImage &out) {
    const Span span = configuration_span();
    out.image = session.registers();
    int chip_id = -1;
    {
        DeviceSession::PageGuard page(session);
        const unsigned length = span.last - span.first + 1u;
        if (session.read_registers(span.first, length, out.image.data() + span.first) < 0)
            return false;
        // On page 0 too: another page has no chip ID at this address.
        chip_id = session.register_read(rx5120::reg::kChipId);
    }
    session.as_user_set(out.image);
    const QString version = QCoreApplication::applicationVersion();
    const int level = session.access_level();
    out.header = ConfigurationHeader{
        QDateTime::currentDateTime().toString(Qt::ISODate),
        version.isEmpty() ? QStringLiteral("(unknown version)") : version, chip_id, 0,
        level >= 0 ? QString::fromLatin1(rx5120::kAccessLevelNames[level]) : QStringLiteral("unknown"),
        session.device_address()};
    return true;
}

QString c_prefix(const QString &text) {
    static const QRegularExpression kIdentifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,39}$"));
    return kIdentifier.match(text).hasMatch() ? text : QString();
}

QString c_header_text(const std::array<uint8_t, 256> &image, const ConfigurationHeader &header,
                      const QString &prefix_text) {
    const QString given = c_prefix(prefix_text);
    const QString upper = (given.isEmpty() ? QStringLiteral("RX5120") : given).toUpper();
    const QString lower = upper.toLower();
    QString t;
    t += QStringLiteral("/* RX5120 register configuration, page 0.\n");
    t += QStringLiteral(" * date: %1, program: evalpanel %2\n")
             .arg(c_comment_safe(header.date), c_comment_safe(header.program_version));
    t += QStringLiteral(" * chip ID: %1, access level: %2\n")
             .arg(header.chip_id >= 0 ? hex(static_cast<unsigned>(header.chip_id))
                                      : QStringLiteral("unknown"),
                  c_comment_safe(header.access_level));
    t += QStringLiteral(" * Write each value to its register address, in this order. */\n");
    t += QStringLiteral("#ifndef %1_REGISTERS_H\n#define %1_REGISTERS_H\n\n").arg(upper);
    if (header.i2c_address >= 0)
        t += QStringLiteral("/* 7-bit I2C address of the chip */\n#define %1_I2C_ADDRESS %2\n\n")
                 .arg(upper, hex(static_cast<unsigned>(header.i2c_address)));
    const auto &map = register_map();
    t += QStringLiteral("/* register addresses */\n");
    for (const auto &r : map.registers)
        if (r.in_configuration)
            t += QStringLiteral("#define %1_%2 %3\n").arg(upper, r.name, hex(r.address));
    t += QStringLiteral("\nstruct %1_register_value { unsigned char address, value; };\n\n").arg(lower);
    t += QStringLiteral("#define %1_REGISTER_COUNT %2\n\n").arg(upper).arg(configuration_register_count());
    t += QStringLiteral("static const struct %1_register_value "
                        "%1_registers[%2_REGISTER_COUNT] = {\n")
             .arg(lower, upper);
    for (const auto &r : map.registers) {
        if (!r.in_configuration)
            continue;
        const QString fields = ascii_units(register_meaning(r, image));
        t += QStringLiteral("    {%1_%2, %3}, /* %2%4 */\n")
                 .arg(upper, r.name, hex(image[r.address]),
                      fields.isEmpty() ? QString() : QStringLiteral(": ") + c_comment_safe(fields));
    }
    t += QStringLiteral("};\n\n#endif /* %1_REGISTERS_H */\n").arg(upper);
    return t;
}

SaveResult export_registers(DeviceSession &session, const QString &path, const QString &prefix) {
    if (c_prefix(prefix).isEmpty())
        return {-1, QStringLiteral("the prefix \"%1\" is no C name (letters, digits and _, "
                                   "not starting with a digit)")
                        .arg(prefix)};
    ConfigurationImage live;
    if (!read_configuration_image(session, live))
        return {-1, QStringLiteral("cannot read the registers from the chip")};
    QString error;
    if (!save_file_atomically(path, c_header_text(live.image, live.header, prefix).toUtf8(), &error))
        return {-1, error};
    return {configuration_register_count(), {}};
}

std::vector<FieldDifference> compare_plans(const ConfigurationPlan &a, const ConfigurationPlan &b,
                                           bool only_a) {
    std::vector<FieldDifference> out;
    for (const auto &f : register_map().fields) {
        if (!configurable(f))
            continue;
        const Coverage ca = coverage(f, a), cb = coverage(f, b);
        if ((ca == Coverage::None && cb == Coverage::None) || (only_a && ca == Coverage::None))
            continue;
        const auto text = [&f](Coverage c, const ConfigurationPlan &p) {
            const unsigned v = f.value_in(p.value);
            return c == Coverage::All    ? QString::asprintf("0x%X (", v) + field_value_text(f, v) + QLatin1Char(')')
                   : c == Coverage::None ? QStringLiteral("not set")
                                         : QString::asprintf("0x%X (in part)", v);
        };
        FieldDifference d{f.name, text(ca, a), text(cb, b)};
        if (d.a == d.b)
            continue;
        d.a_value = ca == Coverage::All ? static_cast<int>(f.value_in(a.value)) : -1;
        d.b_value = cb == Coverage::All ? static_cast<int>(f.value_in(b.value)) : -1;
        out.push_back(d);
    }
    return out;
}

QStringList apply_fields(DeviceSession &session,
                         const std::vector<std::pair<QString, unsigned>> &fields) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("configuration"));
    DeviceSession::PageGuard page(session);
    QStringList failed;
    for (const auto &[name, value] : fields) {
        const FieldInfo *f = register_map().field_named(name);
        if (f == nullptr || !configurable(*f) || session.connection_state() == kNotConnected ||
            set_reg_value(session, f->line, value) < 0)
            failed << name;
        else
            session.log(QString::asprintf("%s = 0x%X", qPrintable(name), value));
    }
    return failed;
}

namespace {

CompareResult with_texts(std::vector<FieldDifference> rows) {
    CompareResult result;
    for (const auto &d : rows)
        result.differences << d.text();
    result.rows = std::move(rows);
    return result;
}

} // namespace

namespace {

std::optional<ConfigurationPlan> plan_of_file(const QString &path, QString *error) {
    const auto bytes = read_bounded_file(path, error);
    if (!bytes)
        return std::nullopt;
    const ParsedConfiguration parsed = parse_configuration(QString::fromUtf8(*bytes));
    if (!parsed.errors.empty()) {
        *error = configuration_errors_text(path, parsed.errors);
        error->chop(QStringLiteral("; nothing written").size());
        return std::nullopt;
    }
    return parsed.plan;
}

} // namespace

CompareResult compare_files(const QString &a, const QString &b) {
    CompareResult result;
    const auto pa = plan_of_file(a, &result.error);
    if (!pa)
        return result;
    const auto pb = plan_of_file(b, &result.error);
    if (pb)
        result = with_texts(compare_plans(*pa, *pb));
    return result;
}

CompareResult compare_with_chip(DeviceSession &session, const QString &path) {
    CompareResult result;
    const auto plan = plan_of_file(path, &result.error);
    if (!plan)
        return result;
    ConfigurationImage live;
    if (!session.have_adapter() || !read_configuration_image(session, live)) {
        result.error = QStringLiteral("cannot read the registers from the chip");
        return result;
    }
    ConfigurationPlan chip;
    for (const auto &r : register_map().registers)
        if (r.in_configuration) {
            chip.mask[r.address] = 0xFF;
            chip.value[r.address] = live.image[r.address];
            chip.named[r.address] = true;
        }
    return with_texts(compare_plans(*plan, chip, true));
}

} // namespace evalpanel
