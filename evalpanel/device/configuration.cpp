// Configuration files: writing, checking and loading them through the
// session.
#include "device/configuration.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <vector>

#include "chip/rx5120.h"
#include "device/device_session.h"
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

std::optional<uint32_t> parse_value(const QString &text) {
    bool ok = false;
    uint32_t v = 0;
    if (text.startsWith(QLatin1String("0x")) && text.size() > 2)
        v = text.mid(2).toUInt(&ok, 16);
    else if (text.startsWith(QLatin1String("0b")) && text.size() > 2)
        v = text.mid(2).toUInt(&ok, 2);
    else if (!text.isEmpty() && text[0].isDigit())
        v = text.toUInt(&ok, 10);
    return ok ? std::optional<uint32_t>(v) : std::nullopt;
}

QString hex2(unsigned v) {
    return QString::asprintf("0x%02X", v & 0xFF);
}

} // namespace

int ConfigurationPlan::registers() const {
    int n = 0;
    for (bool b : named)
        n += b ? 1 : 0;
    return n;
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
    text += QStringLiteral("# Runs as a console script; one whole-register write per line.\n");
    for (const auto &r : register_map().registers)
        if (r.in_configuration)
            text += QStringLiteral("%1 = %2\n").arg(r.name, hex2(image[r.address]));
    return text;
}

std::optional<ConfigurationPlan> parse_configuration(const QString &text,
                                                     ConfigurationError *error) {
    static const QRegularExpression kLine(
        QStringLiteral("^\\s*([A-Za-z0-9_]+)\\s*=+\\s*(\\S+)\\s*$"));
    ConfigurationPlan plan;
    const QStringList lines = text.split(QLatin1Char('\n'));
    const auto fail = [&](int n, const QString &reason) {
        if (error != nullptr)
            *error = {n, reason};
        return std::nullopt;
    };
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1String("//")))
            continue;
        const auto m = kLine.match(line);
        if (!m.hasMatch())
            return fail(i + 1, QStringLiteral("not of the form NAME = VALUE: %1").arg(line));
        const QString name = m.captured(1);
        const auto value = parse_value(m.captured(2));
        if (const RegisterInfo *r = register_map().register_named(name)) {
            if (!r->in_configuration)
                return fail(i + 1, QStringLiteral("%1 is not part of a configuration").arg(name));
            if (!value || *value > 0xFF)
                return fail(i + 1, QStringLiteral("bad value for %1: %2 (0-0xFF)")
                                       .arg(name, m.captured(2)));
            plan.mask[r->address] = 0xFF;
            plan.value[r->address] = static_cast<uint8_t>(*value);
            plan.named[r->address] = true;
            continue;
        }
        const FieldInfo *f = register_map().field_named(name);
        if (f == nullptr)
            return fail(i + 1, QStringLiteral("unknown register or field: %1").arg(name));
        for (const auto &s : f->segments) {
            const RegisterInfo *r = register_map().register_at(s.address);
            if (f->read_only || r == nullptr || !r->in_configuration)
                return fail(i + 1, QStringLiteral("%1 is not part of a configuration").arg(name));
        }
        const uint32_t max = f->width >= 32 ? 0xFFFFFFFFu : (1u << f->width) - 1u;
        if (!value || *value > max)
            return fail(i + 1, QStringLiteral("bad value for %1: %2 (0-0x%3)")
                                   .arg(name, m.captured(2))
                                   .arg(max, 0, 16));
        // The last segment holds the least significant bits.
        uint32_t rest = *value;
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
    }
    for (int a = 0; a < 256; ++a)
        if (plan.named[a] && plan.mask[a] != 0xFF)
            plan.needs_base = true;
    return plan;
}

SaveResult save_registers(DeviceSession &session, const QString &path) {
    const QString version = QCoreApplication::applicationVersion();
    const Span span = configuration_span();
    std::array<uint8_t, 256> image = session.registers();
    {
        DeviceSession::PageGuard page(session);
        const unsigned length = span.last - span.first + 1u;
        if (session.read_registers(span.first, length, image.data() + span.first) < 0)
            return {-1, QStringLiteral("cannot read the registers from the chip")};
    }
    const int chip_id = session.register_read(rx5120::reg::kChipId);
    const int level = session.access_level();
    ConfigurationHeader header{
        QDateTime::currentDateTime().toString(Qt::ISODate),
        version.isEmpty() ? QStringLiteral("(unknown version)") : version, chip_id, 0,
        level >= 0 ? QString::fromLatin1(kAccessLevelNames[level]) : QStringLiteral("unknown")};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return {-1, QStringLiteral("cannot write %1: %2").arg(path, file.errorString())};
    file.write(configuration_text(image, header).toUtf8());
    if (!file.commit())
        return {-1, QStringLiteral("cannot write %1: %2").arg(path, file.errorString())};
    return {configuration_register_count(), {}};
}

LoadResult load_registers(DeviceSession &session, const QString &path) {
    LoadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        result.error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return result;
    }
    ConfigurationError error;
    const auto plan = parse_configuration(QString::fromUtf8(file.readAll()), &error);
    if (!plan) {
        result.error =
            QStringLiteral("%1 line %2: %3; nothing written").arg(path).arg(error.line).arg(error.reason);
        return result;
    }
    result.plan = *plan;
    if (!session.have_adapter() || session.connection_state() == kNotConnected) {
        result.error = QStringLiteral("no adapter; nothing written");
        return result;
    }
    int first = 256, last = -1;
    for (int a = 0; a < 256; ++a)
        if (plan->named[a]) {
            first = std::min(first, a);
            last = std::max(last, a);
        }
    if (last < 0) {
        result.registers = 0;
        return result;
    }
    const unsigned length = static_cast<unsigned>(last - first + 1);
    DeviceSession::PageGuard page(session);
    // Bits a field line leaves alone keep the chip's value.
    std::array<uint8_t, 256> image{};
    if (plan->needs_base &&
        session.read_registers(static_cast<uint8_t>(first), length, image.data() + first) < 0) {
        result.error = QStringLiteral("cannot read the registers from the chip; nothing written");
        return result;
    }
    for (int a = first; a <= last; ++a)
        image[a] = static_cast<uint8_t>((image[a] & ~plan->mask[a]) | plan->value[a]);

    int written = 0;
    for (int a = first; a <= last;) {
        if (!plan->named[a]) {
            ++a;
            continue;
        }
        int end = a;
        while (end + 1 <= last && plan->named[end + 1])
            ++end;
        for (int r = a; r <= end; ++r) {
            const RegisterInfo *info = register_map().register_at(r);
            emit session.log_line(
                QString::asprintf("%s = 0x%X", info ? qPrintable(info->name) : "?", image[r]));
        }
        const auto run = std::span<const uint8_t>(image.data() + a, static_cast<size_t>(end - a + 1));
        if (session.write_block(static_cast<uint8_t>(a), run) != 1) {
            result.error = QStringLiteral("write failed at %1; %2 registers written before")
                               .arg(register_map().register_at(a)->name)
                               .arg(written);
            result.registers = written;
            return result;
        }
        written += end - a + 1;
        a = end + 1;
    }
    std::array<uint8_t, 256> back{};
    if (session.read_registers(static_cast<uint8_t>(first), length, back.data() + first) < 0) {
        result.error = QStringLiteral("written, but the read-back failed");
        result.registers = written;
        return result;
    }
    for (int a = first; a <= last; ++a) {
        if (!plan->named[a])
            continue;
        const RegisterInfo *info = register_map().register_at(a);
        const uint8_t mask = info ? info->writable_mask : 0xFF;
        if ((back[a] & mask) != (image[a] & mask))
            result.not_taken << QStringLiteral("%1 (wrote %2, reads %3)")
                                    .arg(info ? info->name : QString::number(a), hex2(image[a]),
                                         hex2(back[a]));
        session.set_cached(static_cast<uint8_t>(a), back[a]);
    }
    result.registers = written;
    return result;
}

} // namespace evalpanel
