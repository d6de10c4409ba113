// Configuration files: checking, writing and loading them through the
// session.
#include "device/configuration.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

#include <span>

#include "chip/rx5120.h"
#include "device/configuration_image.h"
#include "device/device_session.h"
#include "device/file_access.h"
#include "registers/field_meaning.h"
#include "registers/register_map.h"
#include "registers/value_parse.h"

namespace evalpanel {

namespace {

QString hex2(unsigned v) {
    return QString::asprintf("0x%02X", v & 0xFF);
}

// A header line the file's saver wrote: "# page: 0", "# access level: advanced".
void read_header_line(const QString &comment, ParsedConfiguration &out) {
    static const QRegularExpression kPage(QStringLiteral("^#\\s*page:\\s*(\\d+)\\s*$"));
    static const QRegularExpression kLevel(QStringLiteral("^#\\s*access level:\\s*(\\S+)\\s*$"));
    if (const auto m = kPage.match(comment); m.hasMatch())
        out.page = m.captured(1).toInt();
    else if (const auto l = kLevel.match(comment); l.hasMatch())
        out.access_level = l.captured(1);
}

// One "NAME = VALUE" line into the plan; the reason when it is bad.
QString plan_line(const QString &name, const QString &value_text, ConfigurationPlan &plan) {
    uint32_t value = 0;
    const bool have_value = parse_value_text(value_text.toStdString(), &value);
    if (const RegisterInfo *r = register_map().register_named(name)) {
        if (r->measurement)
            return {}; // saved by older versions; the program sets it itself
        if (!r->in_configuration)
            return QStringLiteral("%1 is not part of a configuration").arg(name);
        if (!have_value || value > 0xFF)
            return QStringLiteral("bad value for %1: %2 (0-0xFF)").arg(name, value_text);
        plan.mask[r->address] = 0xFF;
        plan.value[r->address] = static_cast<uint8_t>(value);
        plan.named[r->address] = true;
        return {};
    }
    const FieldInfo *f = register_map().field_named(name);
    if (f == nullptr)
        return QStringLiteral("unknown register or field: %1").arg(name);
    if (const RegisterInfo *r = register_map().register_at(f->segments[0].address);
        r != nullptr && r->measurement && !f->read_only)
        return {};
    for (const auto &s : f->segments) {
        const RegisterInfo *r = register_map().register_at(s.address);
        if (f->read_only || r == nullptr || !r->in_configuration)
            return QStringLiteral("%1 is not part of a configuration").arg(name);
    }
    const uint32_t max = f->width >= 32 ? 0xFFFFFFFFu : (1u << f->width) - 1u;
    if (!have_value || value > max)
        return QStringLiteral("bad value for %1: %2 (0-0x%3)").arg(name, value_text).arg(max, 0, 16);
    // The last segment holds the least significant bits.
    uint32_t rest = value;
    for (auto s = f->segments.rbegin(); s != f->segments.rend(); ++s) {
        const int w = detail::width_of(*s);
        const uint8_t mask = f->mask_in(s->address) &
                             static_cast<uint8_t>(detail::low_mask(s->high + 1) &
                                                  ~detail::low_mask(s->low));
        const uint8_t bits = static_cast<uint8_t>((rest & detail::low_mask(w)) << s->low);
        plan.value[s->address] =
            static_cast<uint8_t>((plan.value[s->address] & ~mask) | (bits & mask));
        plan.mask[s->address] |= mask;
        plan.named[s->address] = true;
        rest >>= w;
    }
    return {};
}

// A printable form of a bad line: control characters (a NUL among them)
// shown as "?", long lines cut.
QString shown(const QString &line) {
    QString out = line.left(60);
    for (QChar &c : out)
        if (c.unicode() < 0x20)
            c = QLatin1Char('?');
    return line.size() > 60 ? out + QStringLiteral("...") : out;
}

} // namespace

int ConfigurationPlan::registers() const {
    int n = 0;
    for (bool b : named)
        n += b ? 1 : 0;
    return n;
}

QString ascii_units(QString text) {
    // The files run as console scripts, which take ASCII only: "mV/us".
    return text.replace(QChar(0xB5), QLatin1Char('u'));
}

int configuration_register_count() {
    int n = 0;
    for (const auto &r : register_map().registers)
        n += r.in_configuration ? 1 : 0;
    return n;
}

QString configuration_text(const std::array<uint8_t, 256> &image,
                           const ConfigurationHeader &header) {
    QString text;
    text += QStringLiteral("# RX5120 register configuration\n");
    text += QStringLiteral("# date: %1\n").arg(header.date);
    text += QStringLiteral("# program: evalpanel %1\n").arg(header.program_version);
    text += header.chip_id >= 0 ? QStringLiteral("# chip ID: %1\n").arg(hex2(header.chip_id))
                                : QStringLiteral("# chip ID: unknown\n");
    text += QStringLiteral("# page: %1\n").arg(header.page);
    text += QStringLiteral("# access level: %1\n").arg(header.access_level);
    text += QStringLiteral("# Runs as a console script; one whole-register write per line,\n"
                           "# each under a comment with its fields in their units.\n");
    for (const auto &r : register_map().registers)
        if (r.in_configuration)
            text += QStringLiteral("# %1\n%2 = %3\n")
                        .arg(ascii_units(register_meaning(r, image)), r.name, hex2(image[r.address]));
    return text;
}

ParsedConfiguration parse_configuration(const QString &text) {
    static const QRegularExpression kLine(
        QStringLiteral("^([A-Za-z0-9_]+)\\s*=+\\s*(\\S+)$"));
    ParsedConfiguration out;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const auto bad = [&](const QString &reason) { out.errors.push_back({i + 1, reason}); };
        QString line = lines[i].trimmed();
        // A NUL byte would end the text for anything reading it as C text:
        // the line is refused rather than read short.
        if (line.contains(QChar(0))) {
            bad(QStringLiteral("contains a NUL byte: %1").arg(shown(line)));
            continue;
        }
        if (line.startsWith(QLatin1String("//")))
            continue;
        if (const qsizetype hash = line.indexOf(QLatin1Char('#')); hash >= 0) {
            if (hash == 0)
                read_header_line(line, out);
            line = line.left(hash).trimmed();
        }
        if (line.isEmpty())
            continue;
        const auto m = kLine.match(line);
        if (!m.hasMatch()) {
            bad(QStringLiteral("not of the form NAME = VALUE: %1").arg(shown(line)));
            continue;
        }
        const QString reason = plan_line(m.captured(1), m.captured(2), out.plan);
        if (!reason.isEmpty())
            bad(reason);
    }
    for (int a = 0; a < 256; ++a)
        if (out.plan.named[a] && out.plan.mask[a] != 0xFF)
            out.plan.needs_base = true;
    return out;
}

QString configuration_errors_text(const QString &path,
                                  const std::vector<ConfigurationError> &errors) {
    QStringList parts;
    const int named = std::min<int>(static_cast<int>(errors.size()), kMaxNamedErrors);
    for (int i = 0; i < named; ++i)
        parts << QStringLiteral("line %1: %2").arg(errors[i].line).arg(errors[i].reason);
    if (static_cast<int>(errors.size()) > named)
        parts << QStringLiteral("%1 more bad lines").arg(errors.size() - named);
    return QStringLiteral("%1 %2; nothing written").arg(path, parts.join(QStringLiteral("; ")));
}

SaveResult save_registers(DeviceSession &session, const QString &path) {
    ConfigurationImage live;
    if (!read_configuration_image(session, live))
        return {-1, QStringLiteral("cannot read the registers from the chip")};
    QString error;
    if (!save_file_atomically(path, configuration_text(live.image, live.header).toUtf8(), &error))
        return {-1, error};
    return {configuration_register_count(), {}};
}

namespace {

// What the file's header says that the session does not match.
QStringList header_warnings(const ParsedConfiguration &parsed, const DeviceSession &session) {
    QStringList warnings;
    const int level = session.access_level();
    const QString current =
        level >= 0 ? QString::fromLatin1(rx5120::kAccessLevelNames[level]) : QStringLiteral("unknown");
    if (!parsed.access_level.isEmpty() && parsed.access_level != current)
        warnings << QStringLiteral("the file was saved at access level %1; the chip is at %2")
                        .arg(parsed.access_level, current);
    if (parsed.page >= 0 && parsed.page != session.selected_page())
        warnings << QStringLiteral("the file was saved with page %1 selected, page %2 is "
                                   "selected now; its registers are page 0's and are written there")
                        .arg(parsed.page)
                        .arg(session.selected_page());
    return warnings;
}

// After a write that failed partway: what the chip holds now against what
// the file asked for. An adapter lost on the way is opened again first.
QString partial_load_truth(DeviceSession &session, const ConfigurationPlan &plan,
                           const std::array<uint8_t, 256> &image, int first, int last) {
    if (!session.have_adapter())
        session.connect_adapter();
    std::array<uint8_t, 256> back{};
    const unsigned length = static_cast<unsigned>(last - first + 1);
    bool read = false;
    if (session.have_adapter()) {
        DeviceSession::PageGuard page(session);
        read = session.read_registers(static_cast<uint8_t>(first), length, back.data() + first) >= 0;
    }
    if (!read)
        return QStringLiteral("the chip could not be read back: which registers took is unknown");
    QStringList differ;
    int named = 0;
    for (int a = first; a <= last; ++a) {
        if (!plan.named[a])
            continue;
        ++named;
        const RegisterInfo *info = register_map().register_at(a);
        const uint8_t mask = (info ? info->writable_mask : 0xFF) & plan.mask[a];
        if ((back[a] & mask) != (image[a] & mask))
            differ << QStringLiteral("%1 (file %2, chip %3)")
                          .arg(info ? info->name : QString::number(a), hex2(image[a]), hex2(back[a]));
        session.set_cached(static_cast<uint8_t>(a), back[a]);
    }
    if (differ.isEmpty())
        return QStringLiteral("read back: all %1 registers hold the file's values").arg(named);
    return QStringLiteral("read back: %1 of %2 registers differ from the file: %3")
        .arg(differ.size())
        .arg(named)
        .arg(differ.join(QStringLiteral(", ")));
}

} // namespace

LoadResult load_registers(DeviceSession &session, const QString &path) {
    LoadResult result;
    const auto bytes = read_bounded_file(path, &result.error);
    if (!bytes) {
        result.error += QStringLiteral("; nothing written");
        return result;
    }
    const ParsedConfiguration parsed = parse_configuration(QString::fromUtf8(*bytes));
    if (!parsed.errors.empty()) {
        result.error = configuration_errors_text(path, parsed.errors);
        return result;
    }
    const ConfigurationPlan &plan = parsed.plan;
    result.plan = plan;
    if (!session.have_adapter() || session.connection_state() == kNotConnected) {
        result.error = QStringLiteral("no adapter; nothing written");
        return result;
    }
    result.warnings = header_warnings(parsed, session);
    int first = 256, last = -1;
    for (int a = 0; a < 256; ++a)
        if (plan.named[a]) {
            first = std::min(first, a);
            last = std::max(last, a);
        }
    if (last < 0) {
        result.registers = 0;
        return result;
    }
    const unsigned length = static_cast<unsigned>(last - first + 1);
    std::array<uint8_t, 256> image{};
    std::optional<QString> failed;
    {
        const DeviceSession::WriteOrigin origin(session, QStringLiteral("configuration"));
        DeviceSession::PageGuard page(session);
        // Bits a field line leaves alone keep the chip's value.
        if (plan.needs_base &&
            session.read_registers(static_cast<uint8_t>(first), length, image.data() + first) < 0) {
            result.error = QStringLiteral("cannot read the registers from the chip; nothing written");
            return result;
        }
        for (int a = first; a <= last; ++a)
            image[a] = static_cast<uint8_t>((image[a] & ~plan.mask[a]) | plan.value[a]);

        int written = 0;
        for (int a = first; a <= last && !failed;) {
            if (!plan.named[a]) {
                ++a;
                continue;
            }
            int end = a;
            while (end + 1 <= last && plan.named[end + 1])
                ++end;
            const auto run =
                std::span<const uint8_t>(image.data() + a, static_cast<size_t>(end - a + 1));
            // Logged once the chip took it: the command log records what
            // happened, not what was meant.
            const bool took = session.write_block(static_cast<uint8_t>(a), run) == 1;
            for (int r = a; r <= end; ++r) {
                const RegisterInfo *info = register_map().register_at(r);
                const QString line =
                    QString::asprintf("%s = 0x%X", info ? qPrintable(info->name) : "?", image[r]);
                session.log(took ? line : failed_write_text(line));
            }
            if (!took) {
                failed = register_map().register_at(a)->name;
                break;
            }
            written += end - a + 1;
            a = end + 1;
        }
        result.registers = written;
        if (!failed) {
            std::array<uint8_t, 256> back{};
            if (session.read_registers(static_cast<uint8_t>(first), length, back.data() + first) < 0) {
                result.error = QStringLiteral("written, but the read-back failed");
                return result;
            }
            for (int a = first; a <= last; ++a) {
                if (!plan.named[a])
                    continue;
                const RegisterInfo *info = register_map().register_at(a);
                const uint8_t mask = info ? info->writable_mask : 0xFF;
                if ((back[a] & mask) != (image[a] & mask))
                    result.not_taken << QStringLiteral("%1 (wrote %2, reads %3)")
                                            .arg(info ? info->name : QString::number(a),
                                                 hex2(image[a]), hex2(back[a]));
                session.set_cached(static_cast<uint8_t>(a), back[a]);
            }
            return result;
        }
    }
    result.error = QStringLiteral("write failed at %1; %2")
                       .arg(*failed, partial_load_truth(session, plan, image, first, last));
    return result;
}

} // namespace evalpanel
