// The RX5120's register file: defaults, pages, the mode key, flag registers,
// supply and reset. The buck state machines are in rx5120_bucks.cpp.
#include "rx5120_model.h"

#include "chip/rx5120.h"

#include <algorithm>

namespace virtualkit {

namespace {

struct ConditionBit {
    const char *name;
    bool in_flags1; // register 0x0E, else 0x0D
    uint8_t mask;
};

// Order as in enum Condition.
constexpr ConditionBit kConditionBits[] = {
    {"OVP", true, 0x02},     {"SCP", true, 0x01},       {"UVLO", true, 0x10},
    {"THSD", true, 0x04},    {"T_WARNING", true, 0x08}, {"I_LOAD_READY", true, 0x20},
    {"NPG_B0", false, 0x04}, {"NPG_B1", false, 0x08},   {"NPG_B2", false, 0x10},
    {"NPG_B3", false, 0x20}, {"NPG_B4", false, 0x40},   {"NPG_B5", false, 0x80},
};
static_assert(std::size(kConditionBits) == static_cast<size_t>(Condition::Count));

// Output voltage and enable registers, by buck number (the map lists them
// in the order B0, B3, B5, B1, B2, B4).
constexpr uint8_t kVsetRegister[Rx5120::kBucks] = {0x00, 0x03, 0x04, 0x01, 0x05, 0x02};

// Power-on values of VSET_Bk with EN_DIS_Bk set: 1000 mV for the Buck0
// group, 1100 mV for the Buck3 group, 1200 mV for Buck5.
constexpr uint8_t kVsetDefault[Rx5120::kBucks] = {0xB2, 0xB2, 0xB2, 0xBC, 0xBC, 0xC6};
constexpr uint8_t kDelayDefault[Rx5120::kBucks] = {0x0a, 0x0a, 0x0a, 0x0f, 0x0f, 0x05};
constexpr unsigned kLoadDefaultMa[Rx5120::kBucks] = {800, 0, 0, 400, 0, 100};

// Registers whose writes take effect only from the test level on.
bool test_level_register(uint8_t reg) {
    return reg == rx5120::kChipIdRegister || reg == reg::kMultiphase || reg == reg::kTestMode;
}

} // namespace

const char *condition_name(Condition c) {
    return kConditionBits[static_cast<int>(c)].name;
}

std::optional<Condition> condition_by_name(const std::string &name) {
    for (size_t i = 0; i < std::size(kConditionBits); ++i)
        if (name == kConditionBits[i].name)
            return static_cast<Condition>(i);
    return std::nullopt;
}

uint8_t vset_register(int buck) {
    return kVsetRegister[buck];
}

const char *level_name(int level) {
    return level >= 0 && level <= kScan ? rx5120::kAccessLevelNames[level] : "?";
}

Rx5120::Rx5120() {
    factory_reset();
}

void Rx5120::factory_reset() {
    powered_ = nrst_ = nslp_ = nack_ = false;
    address_ = rx5120::kDefaultAddress;
    conditions_.fill(false);
    std::copy(std::begin(kLoadDefaultMa), std::end(kLoadDefaultMa), loads_ma_.begin());
    die_level_ = 0;
    multiphase_otp_ = 0;
    runs_.fill(BuckRun{});
    for (auto &page : regs_)
        page.fill(0);
    flags0_ = flags1_ = 0;
    page_ = level_ = key_progress_ = 0;
    iload_pending_ = false;
}

void Rx5120::load_defaults() {
    for (auto &page : regs_)
        page.fill(0);
    auto &p = regs_[0];
    for (int k = 0; k < kBucks; ++k) {
        p[kVsetRegister[k]] = kVsetDefault[k];
        p[reg::kBuckCtrl0 + k] = 0xD4; // OC_LEV 3, LP 0, RDIS 1, RAMP 4
        p[reg::kDelay0 + k] = kDelayDefault[k];
        p[reg::kPfmLev0 + k] = 0x3F; // PFM entry 3, exit 15
    }
    p[reg::kGeneral] = 0x01; // LP_EN
    p[rx5120::kChipIdRegister] = rx5120::kChipId;
    p[reg::kPhaseLevB0] = 0x10; // ADD_PH 1, SHED_PH 0
    p[reg::kPhaseLevB3] = 0x10;
    p[reg::kMultiphase] = static_cast<uint8_t>(multiphase_otp_);
    flags0_ = flags1_ = 0;
    page_ = 0;
    level_ = kUser;
    key_progress_ = 0;
    iload_pending_ = false;
}

void Rx5120::raise_flags() {
    for (size_t i = 0; i < std::size(kConditionBits); ++i) {
        if (!conditions_[i])
            continue;
        (kConditionBits[i].in_flags1 ? flags1_ : flags0_) |= kConditionBits[i].mask;
    }
}

void Rx5120::power_up(bool addr_select, uint64_t now) {
    powered_ = true;
    t_ = std::max(t_, now);
    address_ = addr_select ? rx5120::kDefaultAddress + 1 : rx5120::kDefaultAddress;
    load_defaults();
    runs_.fill(BuckRun{});
    raise_flags();
}

void Rx5120::power_down() {
    powered_ = false;
    runs_.fill(BuckRun{});
    for (auto &page : regs_)
        page.fill(0);
    flags0_ = flags1_ = 0;
    page_ = level_ = key_progress_ = 0;
    iload_pending_ = false;
}

void Rx5120::set_pins(bool viosys, bool nrst, bool nslp, bool addr_select, uint64_t now) {
    advance(now);
    nrst_ = nrst;
    nslp_ = nslp;
    if (viosys && !powered_)
        power_up(addr_select, now);
    else if (!viosys && powered_)
        power_down();
    if (powered_)
        update_bucks(t_);
}

bool Rx5120::int_line(uint64_t now) {
    advance(now);
    if (!powered_)
        return true;
    const uint8_t m0 = regs_[0][reg::kIntMask0];
    const uint8_t m2 = regs_[0][reg::kIntMask2];
    bool pending = (flags0_ & 0xFC & ~m0) != 0;  // NPG_B0..B5
    pending |= (flags1_ & 0x03 & ~m0) != 0;      // SCP, OVP
    pending |= (flags1_ & 0x04) != 0;            // THSD cannot be masked
    pending |= (flags1_ & 0x08) && !(m2 & 0x02); // T_WARNING
    pending |= (flags1_ & 0x10) && !(m2 & 0x04); // UVLO
    pending |= (flags1_ & 0x20) && !(m2 & 0x08); // I_LOAD_READY
    pending |= die_level_ != 0 && !(m2 & 0x01);  // TEMP
    return !pending;
}

bool Rx5120::transfer(uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                      uint64_t now) {
    if (!powered_ || nack_ || device != address_)
        return false;
    advance(now);
    for (size_t i = 0; i < n; ++i) {
        const auto r = static_cast<uint8_t>(reg + i); // the pointer wraps within the page
        if (write)
            write_reg(r, data[i], t_);
        else
            data[i] = read_reg(r, t_);
    }
    return true;
}

uint8_t Rx5120::read_reg(uint8_t reg, uint64_t now) {
    if (reg == rx5120::kPageRegister)
        return static_cast<uint8_t>(page_);
    if (page_ != 0) {
        const int buck = page_ - 1;
        if (reg == reg::kBuckInfo)
            return buck_info(buck);
        if (reg == reg::kBuckState)
            return buck_state(buck, now);
        return regs_[page_][reg];
    }
    switch (reg) {
    case reg::kFlags0:
        return static_cast<uint8_t>((flags0_ & 0xFC) | die_level_);
    case reg::kFlags1:
        return flags1_;
    case reg::kSwReset:
        return 0;
    case reg::kSelILoad:
        return static_cast<uint8_t>((regs_[0][reg] & 0x07) | ((measured_current(now) >> 8) & 0x07)
                                                                 << 4);
    case reg::kLoadCurr:
        return static_cast<uint8_t>(measured_current(now) & 0xFF);
    case rx5120::kModeKeyRegister:
        return static_cast<uint8_t>(level_);
    default:
        return regs_[0][reg];
    }
}

void Rx5120::write_reg(uint8_t reg, uint8_t value, uint64_t now) {
    if (reg == rx5120::kPageRegister) {
        page_ = value < kPages ? value : 0;
        return;
    }
    if (page_ != 0) {
        if (reg != reg::kBuckInfo && reg != reg::kBuckState)
            regs_[page_][reg] = value;
        return;
    }
    switch (reg) {
    case reg::kFlags0:
        // Writing 0 clears a flag; a condition that lasts raises it again.
        flags0_ &= value & 0xFC;
        raise_flags();
        return;
    case reg::kFlags1:
        flags1_ &= value & 0x3F;
        raise_flags();
        return;
    case reg::kSwReset:
        if (value & 0x01) {
            // Registers to their defaults; the bucks keep running as they are.
            load_defaults();
            raise_flags();
            update_bucks(now);
        }
        return;
    case reg::kSelILoad:
        regs_[0][reg] = value & 0x07;
        iload_pending_ = true;
        iload_ready_at_ = now + kILoadConversionUs;
        return;
    case reg::kLoadCurr:
        return;
    case rx5120::kModeKeyRegister:
        write_key(value);
        return;
    default:
        if (test_level_register(reg) && level_ < kTest)
            return;
        regs_[0][reg] = value;
        update_bucks(now);
        return;
    }
}

void Rx5120::write_key(uint8_t value) {
    if (value != 0 && key_progress_ < 5 && value == rx5120::kModeKey[key_progress_]) {
        ++key_progress_;
        level_ = std::max(0, key_progress_ - 1);
        return;
    }
    // 0x00, or any byte out of sequence, locks the chip.
    key_progress_ = 0;
    level_ = kUser;
}

std::optional<uint8_t> Rx5120::peek(int page, uint8_t reg, uint64_t now) {
    if (!powered_ || page < 0 || page >= kPages)
        return std::nullopt;
    advance(now);
    const int saved = page_;
    page_ = page;
    const uint8_t v = read_reg(reg, t_);
    page_ = saved;
    return v;
}

bool Rx5120::poke(int page, uint8_t reg, uint8_t value, uint64_t now) {
    if (!powered_ || page < 0 || page >= kPages)
        return false;
    advance(now);
    if (reg == rx5120::kPageRegister) {
        page_ = value < kPages ? value : 0;
        return true;
    }
    if (page != 0) {
        if (reg == reg::kBuckInfo || reg == reg::kBuckState)
            return false;
        regs_[page][reg] = value;
        return true;
    }
    switch (reg) {
    case reg::kFlags0:
        flags0_ = value & 0xFC;
        die_level_ = value & 0x03;
        break;
    case reg::kFlags1:
        flags1_ = value & 0x3F;
        break;
    case reg::kSwReset:
    case reg::kSelILoad: {
        const int saved = page_;
        page_ = 0;
        write_reg(reg, value, t_);
        page_ = saved;
        break;
    }
    case reg::kLoadCurr:
        return false;
    case rx5120::kModeKeyRegister:
        level_ = std::min<int>(value, kScan);
        key_progress_ = level_ > 0 ? level_ + 1 : 0;
        break;
    default:
        regs_[0][reg] = value;
        break;
    }
    update_bucks(t_);
    return true;
}

void Rx5120::set_condition(Condition c, bool on, uint64_t now) {
    advance(now);
    conditions_[static_cast<int>(c)] = on;
    if (!powered_)
        return;
    raise_flags();
    update_bucks(t_);
}

void Rx5120::set_load(int buck, unsigned ma, uint64_t now) {
    advance(now);
    loads_ma_[buck] = ma;
    if (powered_)
        update_bucks(t_);
}

void Rx5120::set_die_level(int level, uint64_t now) {
    advance(now);
    die_level_ = level & 0x03;
}

void Rx5120::set_multiphase_default(int config, uint64_t now) {
    advance(now);
    multiphase_otp_ = config & 0x0F;
    if (!powered_)
        return;
    regs_[0][reg::kMultiphase] = static_cast<uint8_t>(multiphase_otp_);
    update_bucks(t_);
}

} // namespace virtualkit
