// The simulated RX5120: its register file on pages 0 to 6, the page and
// access-level registers, six buck converters with their power-up sequence,
// multiphase groups, regulation modes and loads, the flag registers with
// their conditions, and the interrupt line. Powered by the adapter's VIOSYS
// pin; it answers on the I2C bus only while powered.
//
// The chip is evaluated lazily: every entry point takes the current kit time
// and first brings the state machines up to it.
#pragma once

#include "i2c_target.h"

#include "chip/rx5120.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace virtualkit {

// External conditions that raise flag bits while they last.
enum class Condition {
    Ovp,
    Scp,
    Uvlo,
    Thsd,
    TWarning,
    ILoadReady,
    NpgB0,
    NpgB1,
    NpgB2,
    NpgB3,
    NpgB4,
    NpgB5,
    Count
};

// The name of a condition as the control language spells it, and back.
const char *condition_name(Condition c);
std::optional<Condition> condition_by_name(const std::string &name);

// Register addresses that the model gives a meaning.
namespace reg = rx5120::reg;

// Which register holds the output voltage and enable bit of buck k.
uint8_t vset_register(int buck);

// Access levels opened by the mode key.
enum Level { kUser = 0, kAdvanced = 1, kDebug = 2, kTest = 3, kScan = 4 };
const char *level_name(int level);

class Rx5120 final : public I2cTarget {
  public:
    static constexpr int kBucks = 6;
    static constexpr int kPages = 7;
    // Soft-start time per count of DELAY_Bk.
    static constexpr uint64_t kDelayStepUs = 10000;
    // PFM entry and exit levels, load per count.
    static constexpr unsigned kPfmStepMa = 50;
    // Multiphase: one more phase per ADD_PH_Bk count of this load.
    static constexpr unsigned kPhaseStepMa = 500;
    // A load-current measurement is ready this long after its source is chosen.
    static constexpr uint64_t kILoadConversionUs = 1000;
    // Each load-current sample holds for this long.
    static constexpr uint64_t kILoadSampleUs = 1000;

    Rx5120();

    // Everything as the kit leaves the factory: no supply, no conditions,
    // default loads and multiphase configuration.
    void factory_reset();

    // ---- Pins, driven by the adapter --------------------------------------
    // VIOSYS powers the chip (registers are lost when it falls); NRST high
    // launches the power-up sequence; NSLP with SLP_POL puts the bucks to
    // sleep; the address-select pin is sampled as the chip powers up.
    void set_pins(bool viosys, bool nrst, bool nslp, bool addr_select, uint64_t now);
    bool powered() const { return powered_; }
    uint8_t address() const { return address_; }

    // The interrupt line: low (false) while an unmasked flag is set; high
    // when the chip is unpowered (pulled up on the board).
    bool int_line(uint64_t now);

    // ---- I2C --------------------------------------------------------------
    bool transfer(uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                  uint64_t now_us) override;
    void set_nack(bool on) { nack_ = on; }
    bool nack() const { return nack_; }

    // ---- Behind the program's back (control language) ---------------------
    // Reads or stores a register on a page without changing the selected
    // page, the access level or any state machine. False when unpowered or
    // when the register is computed by the chip and cannot be stored.
    std::optional<uint8_t> peek(int page, uint8_t reg, uint64_t now);
    bool poke(int page, uint8_t reg, uint8_t value, uint64_t now);

    void set_condition(Condition c, bool on, uint64_t now);
    bool condition(Condition c) const { return conditions_[static_cast<int>(c)]; }
    void set_load(int buck, unsigned ma, uint64_t now);
    unsigned load(int buck) const { return loads_ma_[buck]; }
    void set_die_level(int level, uint64_t now);
    int die_level() const { return die_level_; }
    // The configuration the chip powers up with (and SW_RESET restores).
    void set_multiphase_default(int config, uint64_t now);
    int multiphase_default() const { return multiphase_otp_; }

    // ---- Observed by the adapter and the control language -----------------
    // Output voltage of buck k in millivolts (0 while off).
    unsigned output_mv(int buck, uint64_t now);
    // The state nibble of buck k as register 0x32 of page k + 1 holds it.
    uint8_t buck_state(int buck, uint64_t now);
    int page() const { return page_; }
    int level() const { return level_; }

  private:
    struct BuckRun {
        enum Phase { Off, SoftStart, On } phase = Off;
        uint64_t start_us = 0; // begin of the soft start
        bool pfm = false;      // regulating in PFM (or ECO) rather than PWM
    };
    struct Group {
        int master = 0;
        int members[kBucks] = {};
        int count = 1;
    };

    // Registers.
    void load_defaults();
    uint8_t read_reg(uint8_t reg, uint64_t now);
    void write_reg(uint8_t reg, uint8_t value, uint64_t now);
    void write_key(uint8_t value);
    void raise_flags();
    void power_up(bool addr_select, uint64_t now);
    void power_down();

    // Bucks (rx5120_bucks.cpp).
    void advance(uint64_t now);
    void update_bucks(uint64_t now);
    Group group_of(int buck) const;
    int multiphase_config() const;
    bool buck_enabled(int buck) const;
    bool sleeping() const;
    bool lockout() const;
    unsigned rail_ma(const Group &g) const;
    int active_phases(const Group &g) const;
    unsigned phase_current_ma(int buck) const;
    unsigned measured_current(uint64_t now) const;
    bool eco(int buck) const;
    uint8_t buck_info(int buck) const;

    std::array<std::array<uint8_t, 256>, kPages> regs_{};
    std::array<BuckRun, kBucks> runs_{};
    std::array<unsigned, kBucks> loads_ma_{};
    std::array<bool, static_cast<int>(Condition::Count)> conditions_{};

    uint64_t t_ = 0; // the latest time the chip has been brought up to
    bool powered_ = false;
    bool nrst_ = false;
    bool nslp_ = false;
    bool nack_ = false;
    uint8_t address_ = 0x60;
    int page_ = 0;
    int level_ = kUser;
    int key_progress_ = 0;
    uint8_t flags0_ = 0; // NPG bits of 0x0D (bits 7..2)
    uint8_t flags1_ = 0; // 0x0E
    int die_level_ = 0;
    int multiphase_otp_ = 0;
    uint64_t iload_ready_at_ = 0;
    bool iload_pending_ = false;
};

} // namespace virtualkit
