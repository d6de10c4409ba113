// Register configurations as console scripts: a comment header, then one
// whole-register write per configurable register ("R_VSET_B0 = 0xB2"), so a
// file runs as a script, diffs line by line and can be edited by hand.
//
// Loading checks the whole file before anything reaches the chip: every
// line that is neither blank, a comment nor "NAME = VALUE" with a
// configurable register or field and a value in range is named, and the
// load writes nothing at all. A good file is written in contiguous runs of
// registers, one block transfer each, and read back in one; registers whose
// writable bits did not take are named. A load that fails partway reads
// the chip back and names every register that now differs from the file.
//
// Files are read and written through file_access.h: only regular files,
// never waiting, saves whole or not at all.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace evalpanel {

class DeviceSession;

// What a file asks for: per register, the bits it sets and their values.
struct ConfigurationPlan {
    std::array<uint8_t, 256> mask{};  // bits the file sets, per register
    std::array<uint8_t, 256> value{}; // their values
    std::array<bool, 256> named{};    // registers the file writes
    bool needs_base = false;          // a field line leaves bits as the chip has them
    int registers() const;
};

struct ConfigurationError {
    int line = 0; // 1-based
    QString reason;
};

struct ParsedConfiguration {
    ConfigurationPlan plan;
    std::vector<ConfigurationError> errors; // every bad line, in order
    int page = -1;        // the header's "# page: N", -1 when none
    QString access_level; // the header's "# access level: NAME", empty when none
};

// Reads a configuration's text. Blank lines and comments ("#" anywhere on
// a line, "//" at its start) are skipped; "NAME = VALUE" with a whole
// register (R_...) or a field name, the value in any form the console
// takes (see registers/value_parse.h) or "0b..." binary.
ParsedConfiguration parse_configuration(const QString &text);
// "PATH line 2: REASON; line 7: REASON; nothing written" (the first
// kMaxNamedErrors lines, then how many more).
constexpr int kMaxNamedErrors = 20;
QString configuration_errors_text(const QString &path,
                                  const std::vector<ConfigurationError> &errors);

// The file's text for the registers of `image` (page 0), with the header.
struct ConfigurationHeader {
    QString date;
    QString program_version;
    int chip_id = -1;
    int page = 0;
    QString access_level;
    int i2c_address = -1; // the chip's 7-bit address, -1 unknown
};
QString configuration_text(const std::array<uint8_t, 256> &image,
                           const ConfigurationHeader &header);
int configuration_register_count();

// The same registers as a C header for firmware: compiles alone as C99 and
// C++, one { address, value } per register, each commented with its name
// and its fields in their units; a #define per register address and the
// chip's I2C address. `prefix` (a C identifier, "RX5120" by default) names
// the guard, the array, its element type and the count: PREFIX_REGISTERS_H,
// prefix_registers, PREFIX_REGISTER_COUNT, PREFIX_I2C_ADDRESS, PREFIX_R_VSET_B0.
QString c_header_text(const std::array<uint8_t, 256> &image, const ConfigurationHeader &header,
                      const QString &prefix = QStringLiteral("RX5120"));
// The prefix as given when it is a C identifier (letters, digits, "_", not
// starting with a digit), else empty.
QString c_prefix(const QString &text);

struct SaveResult {
    int registers = -1; // -1 on failure
    QString error;
};
// Reads the configurable registers live (one block read on page 0) and
// writes the file; the header names the application's version, the chip
// ID and the access level.
SaveResult save_registers(DeviceSession &session, const QString &path);
// The same, as a C header (c_header_text).
SaveResult export_registers(DeviceSession &session, const QString &path,
                            const QString &prefix = QStringLiteral("RX5120"));

struct LoadResult {
    int registers = -1; // registers written; -1 when nothing was
    QString error;      // why nothing (or not all) was written
    QStringList warnings; // the file's header disagrees with the session
    QStringList not_taken; // "NAME (wrote 0x.., reads 0x..)"
    ConfigurationPlan plan; // what the file asked for (for marking differences)
};
// Checks, writes (one block write per run) and reads back. Each register
// written is logged "%s = 0x%X" through the session's command log.
LoadResult load_registers(DeviceSession &session, const QString &path);

// A field the two sides set differently: its value on each side as hex and
// in its unit ("0x30 (980 mV)", "not set", "0x3 (in part)").
struct FieldDifference {
    QString field;
    QString a, b;
    int a_value = -1; // the whole value a side sets, -1 when it sets none or part
    int b_value = -1;
    QString text() const { return QStringLiteral("%1: %2 | %3").arg(field, a, b); }
};
// Field by field: the fields either side sets where the two differ ("not
// set" for a field a side leaves alone); with `only_a`, only the fields
// that `a` sets.
std::vector<FieldDifference> compare_plans(const ConfigurationPlan &a, const ConfigurationPlan &b,
                                           bool only_a = false);
struct CompareResult {
    std::vector<FieldDifference> rows;
    QStringList differences; // the rows' texts
    QString error; // a side could not be read; nothing compared
};
CompareResult compare_files(const QString &a, const QString &b);
// A file against the chip's registers, read live: the fields the file sets.
CompareResult compare_with_chip(DeviceSession &session, const QString &path);
// Writes the given fields (name and value) into the chip, one field write
// each, logged as a configuration's; the names of those that failed.
QStringList apply_fields(DeviceSession &session,
                         const std::vector<std::pair<QString, unsigned>> &fields);

} // namespace evalpanel
