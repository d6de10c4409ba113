// The status bar's texts and colours, as plain data: the connection label
// and message per connection state, the access label and the chip version.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "colours.h"

// Initial texts of the status bar labels.
inline const QString kConnectionLabelInitial = QStringLiteral("   not connected   ");
inline const QString kAccessLabelInitial = QStringLiteral("   00:00   ");
inline const QString kChipVersionLabelInitial = QStringLiteral("   Chip ver. ---- ----   ");

// What the status bar shows for a connection state.
struct ConnectionDisplay {
    QString label;   // text of the connection label
    QString message; // status message, shown without time-out
    Rgb background;  // background of the connection label
};

// Display for connection state 0, 1 or 2; nothing for any other value.
std::optional<ConnectionDisplay> connection_display(int connection_state);

// Access label of the last single register access.
QString access_label_text(uint8_t address, uint8_t data, bool write);

// Chip version label: the eight bits of the chip ID register, bit 7 first.
QString chip_version_text(uint8_t chip_id);
