// Names of the register bits as the direct access window labels them: one
// row of eight names per register address, bit 7 first. Addresses without a
// row have no names. These are the window's own labels, not the field names
// of the register map (note "nPG_B0").
#pragma once

#include <QString>

#include <cstdint>

namespace evalpanel {

// The name of bit `bit` (0..7) of register `address`; "" where the bit has
// no name or `bit` is out of range. Never null.
const char *direct_access_bit_name(uint8_t address, int bit);

// The label of bit `bit`: the window's own name, or where it has none the
// register table's field at that bit ("DELAY_B1[3]", "FPWM_B2"); "" where
// neither names the bit.
QString bit_label(uint8_t address, int bit);

// "R_VSET_B0, read/write"; "not in the register table" for an address
// without a register.
QString register_summary(uint8_t address);

} // namespace evalpanel
