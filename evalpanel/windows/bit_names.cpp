#include "bit_names.h"

#include <array>

#include "registers/register_map.h"

namespace evalpanel {
namespace {

struct NamedRow {
    uint8_t address;
    std::array<const char *, 8> names; // bit 7 first
};

// clang-format off
constexpr NamedRow kNamedRows[] = {
    {0x00, {"EN_DIS_B0", "VSET_B0[6]", "VSET_B0[5]", "VSET_B0[4]", "VSET_B0[3]", "VSET_B0[2]", "VSET_B0[1]", "VSET_B0[0]"}},
    {0x06, {"", "", "", "", "", "", "", "FPWM_B0"}},
    {0x07, {"OC_LEV_B0[1]", "OC_LEV_B0[0]", "LP_B0", "RDIS_B0", "", "RAMP_B0[2]", "RAMP_B0[1]", "RAMP_B0[0]"}},
    {0x08, {"OC_LEV_B1[1]", "OC_LEV_B1[0]", "", "", "", "", "", ""}},
    {0x09, {"OC_LEV_B2[1]", "OC_LEV_B2[0]", "", "", "", "", "", ""}},
    {0x0A, {"OC_LEV_B3[1]", "OC_LEV_B3[0]", "", "", "", "", "", ""}},
    {0x0B, {"OC_LEV_B4[1]", "OC_LEV_B4[0]", "", "", "", "", "", ""}},
    {0x0C, {"OC_LEV_B5[1]", "OC_LEV_B5[0]", "", "", "", "", "", ""}},
    {0x0D, {"", "", "", "", "", "nPG_B0", "TEMP[1]", "TEMP[0]"}},
    {0x0E, {"", "", "I_LOAD_READY", "UVLO", "T_WARNING", "THSD", "OVP", "SCP"}},
    {0x0F, {"", "", "", "", "", "MASK_nPG_B0", "MASK_OVP", "MASK_SCP"}},
    {0x10, {"", "", "EN_SS", "", "DIS_DIF_B0", "", "SLP_POL", "LP_EN"}},
    {0x11, {"", "", "", "", "", "", "", "SW_RESET"}},
    {0x12, {"DELAY_B0[7]", "DELAY_B0[6]", "DELAY_B0[5]", "DELAY_B0[4]", "DELAY_B0[3]", "DELAY_B0[2]", "DELAY_B0[1]", "DELAY_B0[0]"}},
    {0x18, {"DEVICE", "OTP_REV[4]", "OTP_REV[3]", "OTP_REV[2]", "OTP_REV[1]", "OTP_REV[0]", "DIE_REV[1]", "DIE_REV[0]"}},
    {0x19, {"", "PFM_ENTRY_B0[2]", "PFM_ENTRY_B0[1]", "PFM_ENTRY_B0[0]", "", "PFM_EXIT_B0[2]", "PFM_EXIT_B0[1]", "PFM_EXIT_B0[0]"}},
    {0x1F, {"", "ADD_PH_B0[2]", "ADD_PH_B0[1]", "ADD_PH_B0[0]", "", "SHED_PH_B0[2]", "SHED_PH_B0[1]", "SHED_PH_B0[0]"}},
    {0x21, {"", "BUCK_LOAD_CURR[10]", "BUCK_LOAD_CURR[9]", "BUCK_LOAD_CURR[8]", "", "LOAD_CURRENT_SOURCE[2]", "LOAD_CURRENT_SOURCE[1]", "LOAD_CURRENT_SOURCE[0]"}},
    {0x22, {"BUCK_LOAD_CURR[7]", "BUCK_LOAD_CURR[6]", "BUCK_LOAD_CURR[5]", "BUCK_LOAD_CURR[4]", "BUCK_LOAD_CURR[3]", "BUCK_LOAD_CURR[2]", "BUCK_LOAD_CURR[1]", "BUCK_LOAD_CURR[0]"}},
    {0x2E, {"", "", "", "", "MASK_ILOAD_READY", "MASK_UVLO", "MASK_TWARNING", "MASK_TEMP"}},
};
// clang-format on

using BitNameTable = std::array<std::array<const char *, 8>, 256>;

// The full table, one row for every address, built once at compile time.
constexpr BitNameTable make_table() {
    BitNameTable table{};
    for (auto &row : table)
        row.fill("");
    for (const NamedRow &named : kNamedRows)
        table[named.address] = named.names;
    return table;
}

constexpr BitNameTable kBitNames = make_table();

} // namespace

const char *direct_access_bit_name(uint8_t address, int bit) {
    if (bit < 0 || bit > 7)
        return "";
    return kBitNames[address][7 - bit];
}

QString bit_label(uint8_t address, int bit) {
    const char *own = direct_access_bit_name(address, bit);
    if (*own != 0 || bit < 0 || bit > 7)
        return QString::fromLatin1(own);
    for (const FieldInfo &f : register_map().fields) {
        // The first segment holds the most significant bits.
        int above = f.width;
        for (const detail::Segment &s : f.segments) {
            above -= detail::width_of(s);
            if (s.address == address && bit >= s.low && bit <= s.high)
                return f.width > 1 ? QStringLiteral("%1[%2]").arg(f.name).arg(above + bit - s.low)
                                   : f.name;
        }
    }
    return QString();
}

QString register_summary(uint8_t address) {
    const RegisterInfo *r = register_map().register_at(address);
    uint8_t named = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (!bit_label(address, bit).isEmpty())
            named = static_cast<uint8_t>(named | (1u << bit));
    if (r == nullptr)
        return named != 0 ? QStringLiteral("unnamed register with fields")
                          : QStringLiteral("not in the register table");
    QString access = QStringLiteral("read/write");
    if (r->writable_mask == 0)
        access = QStringLiteral("read-only");
    else if ((named & ~r->writable_mask) != 0)
        access = QStringLiteral("read/write, some bits read-only");
    return QStringLiteral("%1, %2").arg(r->name, access);
}

} // namespace evalpanel
