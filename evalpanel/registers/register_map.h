// The definition table seen as registers with their fields, for the windows
// and the configuration files that show or walk the whole map. Built once
// from the table's lines (which stay the one source); no I/O.
#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

#include "registers/location.h"

namespace evalpanel {

struct FieldInfo {
    QString name;
    const char *line = nullptr; // the table's definition line
    bool read_only = false;     // marked RO
    std::vector<detail::Segment> segments; // first segment = most significant bits
    int width = 0;
    int default_value = -1; // the REG_STATIC default, -1 when the line has none

    // "[6:0]", "[4]", "[6:4],0x22[7:0]" for a field that spans registers.
    QString bits_text() const;
    // The field's value in a register image.
    unsigned value_in(std::span<const uint8_t, 256> image) const;
    // The bits of `address` that this field covers.
    uint8_t mask_in(unsigned address) const;
    // The field has a default and the image holds another value.
    bool differs_from_default(std::span<const uint8_t, 256> image) const;
    // Some of the field's bits that `mask` selects differ between the image
    // and `reference` (a configuration: the bits it sets and their values).
    bool differs(std::span<const uint8_t, 256> image, std::span<const uint8_t, 256> mask,
                 std::span<const uint8_t, 256> reference) const;
};

struct RegisterInfo {
    uint8_t address = 0;
    QString name;
    const char *line = nullptr;
    // Fields whose first segment lies in this register, in table order.
    std::vector<int> fields;
    // Bits covered by read-write fields (in any segment): what a write can
    // change and what a read-back is compared on.
    uint8_t writable_mask = 0;
    // Bits covered by fields that carry a default, and those defaults.
    uint8_t default_mask = 0;
    uint8_t default_bits = 0;
    // Written by a configuration file: not a flag, status, reset, page or
    // test-level register, not the measurement setting, and not wholly
    // read-only.
    bool in_configuration = false;
    // The load-current source (R_SEL_I_LOAD): where the program points the
    // chip's current measurement, not part of the chip's set-up. Kept out of
    // saved files, comparisons, the C header and the map's marks; a file
    // from an older version that names it loads without it.
    bool measurement = false;

    bool differs_from_default(std::span<const uint8_t, 256> image) const {
        return (image[address] & default_mask) != default_bits;
    }
    bool differs(std::span<const uint8_t, 256> image, std::span<const uint8_t, 256> mask,
                 std::span<const uint8_t, 256> reference) const {
        return ((image[address] ^ reference[address]) & mask[address]) != 0;
    }
};

struct RegisterMap {
    std::vector<RegisterInfo> registers; // table order
    std::vector<FieldInfo> fields;       // table order

    const RegisterInfo *register_at(unsigned address) const;
    const RegisterInfo *register_named(const QString &name) const;
    const FieldInfo *field_named(const QString &name) const;
};

// The map of the register table, built on first use.
const RegisterMap &register_map();

} // namespace evalpanel
