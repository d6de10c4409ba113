// Register configurations as console scripts: a comment header, then one
// whole-register write per configurable register ("R_VSET_B0 = 0xB2"), so a
// file runs as a script, diffs line by line and can be edited by hand.
//
// Loading checks the whole file before anything reaches the chip: a line
// that is neither blank, a comment nor "NAME = VALUE" with a configurable
// register or field and a value in range makes the load write nothing at
// all. A good file is written in contiguous runs of registers, one block
// transfer each, and read back in one; registers whose writable bits did
// not take are named.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

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

// The file's text for the registers of `image` (page 0), with the header.
struct ConfigurationHeader {
    QString date;
    QString program_version;
    int chip_id = -1;
    int page = 0;
    QString access_level;
};
QString configuration_text(const std::array<uint8_t, 256> &image,
                           const ConfigurationHeader &header);
int configuration_register_count();

// Reads a configuration's text. Blank lines and comments ("#", "//") are
// skipped; "NAME = VALUE" with a whole register (R_...) or a field name, the
// value in hex (0x..), binary (0b..) or decimal. The first bad line gives an
// error and no plan.
std::optional<ConfigurationPlan> parse_configuration(const QString &text,
                                                     ConfigurationError *error);

struct SaveResult {
    int registers = -1; // -1 on failure
    QString error;
};
// Reads the configurable registers live (one block read on page 0) and
// writes the file; the header names the application's version.
SaveResult save_registers(DeviceSession &session, const QString &path);

struct LoadResult {
    int registers = -1; // registers written; -1 when nothing was
    QString error;      // why nothing was written
    QStringList not_taken; // "NAME (wrote 0x.., reads 0x..)"
    ConfigurationPlan plan; // what the file asked for (for marking differences)
};
// Checks, writes (one block write per run) and reads back. Each register
// written is logged "%s = 0x%X" through the session's command log.
LoadResult load_registers(DeviceSession &session, const QString &path);

} // namespace evalpanel
