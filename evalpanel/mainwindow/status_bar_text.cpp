#include "status_bar_text.h"

std::optional<ConnectionDisplay> connection_display(int connection_state) {
    switch (connection_state) {
    case 0:
        return ConnectionDisplay{QStringLiteral("   not connected   "),
                                 QStringLiteral("USB board not found."), kConnectionBad};
    case 1:
        return ConnectionDisplay{QStringLiteral("   ready   "),
                                 QStringLiteral("USB board connected."), kConnectionGood};
    case 2:
        return ConnectionDisplay{QStringLiteral("   NACK   "),
                                 QStringLiteral("USB board connected."), kConnectionBad};
    default:
        return std::nullopt;
    }
}

QString access_label_text(uint8_t address, uint8_t data, bool write) {
    return QStringLiteral("   %1%2:%3   ")
        .arg(QChar(write ? u'W' : u'R'))
        .arg(int(address), 2, 16, QLatin1Char('0'))
        .arg(int(data), 2, 16, QLatin1Char('0'));
}

QString chip_version_text(uint8_t chip_id) {
    QString bits;
    for (int bit = 7; bit >= 0; --bit) {
        bits += QLatin1Char((chip_id >> bit) & 1 ? '1' : '0');
        if (bit == 4)
            bits += QLatin1Char(' ');
    }
    return QStringLiteral("   Chip ver. %1   ").arg(bits);
}
