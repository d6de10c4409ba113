// The RX5120 register map as definition lines, and the lookups and field
// reads and writes that work on those lines.
//
// The map is kept as text: every operation scans the lines in table order
// and parses the one it needs each time it is called. Operations hand lines
// to one another as text, and an address typed as a number is first turned
// into a line of the same form (make_numeric_access).
//
// Three kinds of line:
//   hwreg(R_VSET_B0, 0x00 _PAGE(0));                 one whole register
//   lreg(VSET_B0, (RW, "0x00[6:0]@0"));               a named bit field
//   lreg(FPWM_B0, (RW, "0x06[0]@0", REG_STATIC, 0x00));
//   io_pin(PIN_INT,PA18,R);                           an adapter pin
//
// A field's location is one or more segments "0xAA[h:l]@p" or "0xAA[b]@p"
// joined by commas; the first segment holds the most significant bits. The
// access marker, the page digit and the REG_STATIC default are documentation
// only: every access goes to the page the chip has selected.
#pragma once

#include <cstddef>
#include <cstdint>

namespace evalpanel {

// A buffer of this size holds any definition line with its terminator.
constexpr std::size_t kLineSize = 256;
// Longest name that a lookup accepts; longer names are never found.
constexpr std::size_t kMaxNameLength = 63;

constexpr std::size_t kRegisterTableSize = 141;

// 36 hwreg lines, then 100 lreg lines, then 5 io_pin lines.
extern const char *const register_table[kRegisterTableSize];

// Index of the first hwreg or lreg line whose name is exactly `name` (same
// case, same length), or -1. With a buffer, the line is copied into it; a
// buffer too small for the whole line gives -1 and an empty buffer rather
// than a cut line.
int find_reg_by_name(const char *name);
int find_reg_by_name(const char *name, char *line, std::size_t size);

// The same over the io_pin lines only.
int find_io_pin_by_name(const char *name);
int find_io_pin_by_name(const char *name, char *line, std::size_t size);

// 1 and the name of the first lreg line whose first segment has `address`
// and whose first bit number is `high`; 0 if none. `low` is only traced.
int find_lreg_by_address(char *name, std::size_t size, unsigned address, int high, int low);

// Turns a numeric address form into a synthetic definition line:
//   0x2e[3:0]  ->  lreg(NUMERIC_ACCESS_0x2E,<tab>(RW,"0x2e[3:0]@0"));
//   0x12[5]    ->  lreg(NUMERIC_ACCESS_0x12,<tab>(RW,"0x12[5:5]@0"));
//   0x2e       ->  hwreg(NUMERIC_ACCESS_0x2E,<tab>0x2E _PAGE(0));
// The first form whose values all read decides. The address must be one or
// two hex digits and the bit numbers 0..7 with high >= low; otherwise that
// form builds nothing. Returns 1 with the line in the buffer, else 0.
int make_numeric_access(const char *text, char *line, std::size_t size);

// 2^width - 1 for an lreg line (0 if its location is malformed); 255 for
// any other line.
uint32_t get_reg_max(const char *line);

// Field reads and writes (get_reg_value, set_reg_value, sweep_rd, sweep_wr)
// go through the device session: device/device_session.h.

} // namespace evalpanel
