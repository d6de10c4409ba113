// Field lines that neither the table nor a numeric form produces: each has
// a segment the fixed-width reader must refuse.
#pragma once

namespace evalpanel::test {

inline constexpr const char *kMalformedFieldLines[] = {
    "lreg(BIT9, (RW, \"0x00[9:0]@0\"));",
    "lreg(REVERSED, (RW, \"0x00[2:5]@0\"));",
    "lreg(WIDE, (RW, \"0x100[3:0]@0\"));",
    "lreg(SHORT, (RW, \"0x0[3:0]@0,0x01[7:0]@0\"));",
    "lreg(SECOND_BAD, (RW, \"0x21[6:4]@0,0x22[8:0]@0\"));",
    "lreg(SIGNED, (RW, \"0x00[-1]@0\"));",
};

} // namespace evalpanel::test
