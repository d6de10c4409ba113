// The live configuration image, the C header export and comparisons.
#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <bit>
#include <optional>

#include "chip/rx5120.h"
#include "device/configuration.h"
#include "device/configuration_image.h"
#include "device/device_session.h"
#include "device/file_access.h"
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
    const QString version = QCoreApplication::applicationVersion();
    const int level = session.access_level();
    out.header = ConfigurationHeader{
        QDateTime::currentDateTime().toString(Qt::ISODate),
        version.isEmpty() ? QStringLiteral("(unknown version)") : version, chip_id, 0,
        level >= 0 ? QString::fromLatin1(rx5120::kAccessLevelNames[level]) : QStringLiteral("unknown")};
    return true;
}

QString c_header_text(const std::array<uint8_t, 256> &image, const ConfigurationHeader &header) {
    QString t;
    t += QStringLiteral("/* RX5120 register configuration, page 0.\n");
    t += QStringLiteral(" * date: %1, program: evalpanel %2\n")
             .arg(c_comment_safe(header.date), c_comment_safe(header.program_version));
    t += QStringLiteral(" * chip ID: %1, access level: %2\n")
             .arg(header.chip_id >= 0 ? hex(static_cast<unsigned>(header.chip_id))
                                      : QStringLiteral("unknown"),
                  c_comment_safe(header.access_level));
    t += QStringLiteral(" * Write each value to its register address, in this order. */\n");
    t += QStringLiteral("#ifndef RX5120_REGISTERS_H\n#define RX5120_REGISTERS_H\n\n");
    t += QStringLiteral("struct rx5120_register_value { unsigned char address, value; };\n\n");
    t += QStringLiteral("#define RX5120_REGISTER_COUNT %1\n\n").arg(configuration_register_count());
    t += QStringLiteral("static const struct rx5120_register_value "
                        "rx5120_registers[RX5120_REGISTER_COUNT] = {\n");
    const auto &map = register_map();
    for (const auto &r : map.registers) {
        if (!r.in_configuration)
            continue;
        QStringList fields;
        for (int i : r.fields)
            fields << QStringLiteral("%1 = %2").arg(
                map.fields[static_cast<size_t>(i)].name,
                QString::asprintf("0x%X", map.fields[static_cast<size_t>(i)].value_in(image)));
        t += QStringLiteral("    {%1, %2}, /* %3%4 */\n")
                 .arg(hex(r.address), hex(image[r.address]), c_comment_safe(r.name),
                      fields.isEmpty() ? QString()
                                       : QStringLiteral(": ") + c_comment_safe(fields.join(
                                                                    QStringLiteral(", "))));
    }
    t += QStringLiteral("};\n\n#endif /* RX5120_REGISTERS_H */\n");
    return t;
}

SaveResult export_registers(DeviceSession &session, const QString &path) {
    ConfigurationImage live;
    if (!read_configuration_image(session, live))
        return {-1, QStringLiteral("cannot read the registers from the chip")};
    QString error;
    if (!save_file_atomically(path, c_header_text(live.image, live.header).toUtf8(), &error))
        return {-1, error};
    return {configuration_register_count(), {}};
}

QStringList compare_plans(const ConfigurationPlan &a, const ConfigurationPlan &b, bool only_a) {
    QStringList out;
    for (const auto &f : register_map().fields) {
        if (!configurable(f))
            continue;
        const Coverage ca = coverage(f, a), cb = coverage(f, b);
        if ((ca == Coverage::None && cb == Coverage::None) || (only_a && ca == Coverage::None))
            continue;
        const auto text = [&f](Coverage c, const ConfigurationPlan &p) {
            return c == Coverage::All    ? QString::asprintf("0x%X", f.value_in(p.value))
                   : c == Coverage::None ? QStringLiteral("not set")
                                         : QString::asprintf("0x%X (in part)", f.value_in(p.value));
        };
        const QString ta = text(ca, a), tb = text(cb, b);
        if (ta != tb)
            out << QStringLiteral("%1: %2 | %3").arg(f.name, ta, tb);
    }
    return out;
}

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
        result.differences = compare_plans(*pa, *pb);
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
    result.differences = compare_plans(*plan, chip, true);
    return result;
}

} // namespace evalpanel
