// Colours of the main window's indicators and status bar, as plain data so
// that the decoding logic stays free of GUI classes.
#pragma once

struct Rgb {
    int red;
    int green;
    int blue;
};

// Base colour of a bit or pin indicator showing 0 (grey) and 1 (red).
inline constexpr Rgb kIndicatorOff{209, 209, 209};
inline constexpr Rgb kIndicatorOn{234, 137, 143};

// Background of the status bar's connection label.
inline constexpr Rgb kConnectionBad{247, 166, 168};
inline constexpr Rgb kConnectionGood{188, 248, 182};

inline constexpr Rgb indicator_colour(int value) {
    return value ? kIndicatorOn : kIndicatorOff;
}
