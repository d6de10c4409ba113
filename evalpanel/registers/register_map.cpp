// The register table grouped by register, with masks and defaults per
// register, parsed once from the definition lines.
#include "registers/register_map.h"

#include <cstdio>
#include <cstring>

#include "chip/rx5120.h"
#include "registers/register_table.h"

namespace evalpanel {

namespace {

// Registers a configuration never writes: the flags (the chip raises them,
// a write clears them), the software reset, the page selector, and the chip
// ID, which the chip takes only at the test level.
bool excluded_from_configuration(unsigned address) {
    namespace reg = rx5120::reg;
    return address == reg::kFlags0 || address == reg::kFlags1 || address == reg::kSwReset ||
           address == reg::kPage || address == reg::kChipId || address == reg::kSelILoad;
}

bool parse_field(const char *line, FieldInfo *field) {
    const int pos = detail::location_offset(line);
    if (pos < 0)
        return false;
    char name[kMaxNameLength + 1] = {};
    char access[3] = {};
    if (std::sscanf(line, "lreg(%63[^,], (%2[A-Z]", name, access) != 2)
        return false;
    detail::Segment segs[detail::kMaxSegments];
    const int count = detail::split_location(line + pos, "register_map", false, segs);
    if (count <= 0)
        return false;
    field->name = QString::fromLatin1(name);
    field->line = line;
    field->read_only = access[0] == 'R' && access[1] == 'O';
    field->segments.assign(segs, segs + count);
    field->width = 0;
    for (const auto &s : field->segments)
        field->width += detail::width_of(s);
    unsigned def = 0;
    const char *marker = std::strstr(line, "REG_STATIC, 0x");
    field->default_value =
        marker != nullptr && std::sscanf(marker, "REG_STATIC, 0x%x", &def) == 1 ? int(def) : -1;
    return true;
}

RegisterMap build() {
    RegisterMap map;
    for (const char *line : register_table) {
        const int address = detail::hwreg_address(line);
        char name[kMaxNameLength + 1] = {};
        if (address >= 0 && std::sscanf(line, "hwreg(%63[^,]", name) == 1) {
            RegisterInfo r;
            r.address = static_cast<uint8_t>(address);
            r.name = QString::fromLatin1(name);
            r.line = line;
            map.registers.push_back(r);
            continue;
        }
        FieldInfo f;
        if (parse_field(line, &f))
            map.fields.push_back(std::move(f));
    }
    for (int i = 0; i < static_cast<int>(map.fields.size()); ++i) {
        const FieldInfo &f = map.fields[static_cast<size_t>(i)];
        for (size_t s = 0; s < f.segments.size(); ++s) {
            auto *r = const_cast<RegisterInfo *>(map.register_at(f.segments[s].address));
            if (r == nullptr)
                continue;
            const uint8_t mask = f.mask_in(r->address);
            if (s == 0)
                r->fields.push_back(i);
            if (!f.read_only)
                r->writable_mask |= mask;
            if (f.default_value >= 0 && f.segments.size() == 1) {
                r->default_mask |= mask;
                r->default_bits |= static_cast<uint8_t>((f.default_value << f.segments[0].low) & mask);
            }
        }
    }
    for (auto &r : map.registers) {
        r.measurement = r.address == rx5120::reg::kSelILoad;
        r.in_configuration = r.writable_mask != 0 && !excluded_from_configuration(r.address);
    }
    return map;
}

} // namespace

QString FieldInfo::bits_text() const {
    QString text;
    for (size_t i = 0; i < segments.size(); ++i) {
        const auto &s = segments[i];
        if (i > 0)
            text += QStringLiteral(",0x%1").arg(s.address, 2, 16, QLatin1Char('0'));
        text += s.high == s.low ? QStringLiteral("[%1]").arg(s.high)
                                : QStringLiteral("[%1:%2]").arg(s.high).arg(s.low);
    }
    return text;
}

unsigned FieldInfo::value_in(std::span<const uint8_t, 256> image) const {
    unsigned value = 0;
    for (const auto &s : segments) {
        const unsigned bits = (image[s.address & 0xFF] & detail::low_mask(s.high + 1)) >> s.low;
        value = (value << detail::width_of(s)) | bits;
    }
    return value;
}

uint8_t FieldInfo::mask_in(unsigned address) const {
    uint8_t mask = 0;
    for (const auto &s : segments)
        if (s.address == address)
            mask |= static_cast<uint8_t>(detail::low_mask(s.high + 1) & ~detail::low_mask(s.low));
    return mask;
}

bool FieldInfo::differs_from_default(std::span<const uint8_t, 256> image) const {
    return default_value >= 0 && value_in(image) != static_cast<unsigned>(default_value);
}

bool FieldInfo::differs(std::span<const uint8_t, 256> image, std::span<const uint8_t, 256> mask,
                        std::span<const uint8_t, 256> reference) const {
    for (const auto &s : segments) {
        const unsigned a = s.address & 0xFF;
        if (((image[a] ^ reference[a]) & mask[a] & mask_in(a)) != 0)
            return true;
    }
    return false;
}

const RegisterInfo *RegisterMap::register_at(unsigned address) const {
    for (const auto &r : registers)
        if (r.address == address)
            return &r;
    return nullptr;
}

const RegisterInfo *RegisterMap::register_named(const QString &name) const {
    for (const auto &r : registers)
        if (r.name == name)
            return &r;
    return nullptr;
}

const FieldInfo *RegisterMap::field_named(const QString &name) const {
    for (const auto &f : fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

const RegisterMap &register_map() {
    static const RegisterMap map = build();
    return map;
}

} // namespace evalpanel
