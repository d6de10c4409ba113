// The RX5120's six buck converters: power-up sequence, soft start,
// regulation modes, multiphase groups, sleep, loads and the load-current
// measurement.
//
// A multiphase group runs as one converter: its master's enable bit, delay,
// forced-PWM bit and PFM levels govern it, its output carries the sum of the
// loads set on its members, and its phases share that current. The master's
// state nibble counts the active phases (6 + n for n of at least 2), slaves
// show PWM while their phase is active and 1 (idle) while it is shed.
#include "rx5120_model.h"

#include <algorithm>

namespace virtualkit {

namespace {

// Master of each buck, by multiphase configuration; configurations 10 to 15
// behave as 0. A master is always the lowest-numbered buck of its group.
constexpr int8_t kMasterOf[10][Rx5120::kBucks] = {
    {0, 0, 0, 3, 3, 5}, // 0: 3 + 2 phases, Buck5 single
    {0, 1, 2, 3, 4, 5}, // 1: all single
    {0, 0, 2, 3, 4, 5}, // 2: 2 phases
    {0, 0, 0, 3, 4, 5}, // 3: 3 phases
    {0, 0, 0, 0, 4, 5}, // 4: 4 phases
    {0, 0, 0, 0, 0, 5}, // 5: 5 phases
    {0, 0, 0, 0, 0, 0}, // 6: 6 phases
    {0, 0, 0, 3, 3, 3}, // 7: 3 + 3 phases
    {0, 0, 2, 3, 3, 5}, // 8: 2 + 2 phases
    {0, 0, 0, 3, 3, 0}, // 9: 4 (with Buck5) + 2 phases
};

// The noise of one load-current sample: -1, 0 or +1 count of 10 mA.
int sample_noise(uint64_t sample, int source) {
    uint64_t z = sample * 8 + static_cast<uint64_t>(source) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<int>(z % 3) - 1;
}

} // namespace

int Rx5120::multiphase_config() const {
    const int c = regs_[0][reg::kMultiphase] & 0x0F;
    return c <= 9 ? c : 0;
}

Rx5120::Group Rx5120::group_of(int buck) const {
    const int c = multiphase_config();
    Group g;
    g.master = kMasterOf[c][buck];
    g.count = 0;
    for (int j = 0; j < kBucks; ++j)
        if (kMasterOf[c][j] == g.master)
            g.members[g.count++] = j;
    return g;
}

bool Rx5120::buck_enabled(int buck) const {
    return regs_[0][vset_register(buck)] & 0x80;
}

bool Rx5120::sleeping() const {
    const bool active_high = regs_[0][reg::kGeneral] & 0x02; // SLP_POL
    return active_high ? nslp_ : !nslp_;
}

bool Rx5120::lockout() const {
    return conditions_[static_cast<int>(Condition::Thsd)] ||
           conditions_[static_cast<int>(Condition::Uvlo)];
}

unsigned Rx5120::rail_ma(const Group &g) const {
    unsigned sum = 0;
    for (int i = 0; i < g.count; ++i)
        sum += loads_ma_[g.members[i]];
    return sum;
}

int Rx5120::active_phases(const Group &g) const {
    if (g.count == 1 || runs_[g.master].pfm)
        return 1;
    const uint8_t lev = regs_[0][g.master == 0 ? reg::kPhaseLevB0 : reg::kPhaseLevB3];
    const unsigned step = (lev >> 4) * kPhaseStepMa; // ADD_PH
    if (step == 0)
        return g.count;
    const unsigned need = (rail_ma(g) + step - 1) / step;
    return static_cast<int>(std::clamp<unsigned>(need, 1, static_cast<unsigned>(g.count)));
}

void Rx5120::advance(uint64_t now) {
    t_ = std::max(t_, now);
    if (!powered_)
        return;
    if (iload_pending_ && t_ >= iload_ready_at_) {
        iload_pending_ = false;
        flags1_ |= 0x20; // I_LOAD_READY
    }
    update_bucks(t_);
}

void Rx5120::update_bucks(uint64_t now) {
    const int c = multiphase_config();
    for (int m = 0; m < kBucks; ++m) {
        if (kMasterOf[c][m] != m)
            continue;
        const Group g = group_of(m);
        BuckRun &r = runs_[m];
        const uint8_t pfm_lev = regs_[0][reg::kPfmLev0 + m];
        const unsigned entry = (pfm_lev >> 4) * kPfmStepMa;
        const unsigned exit = (pfm_lev & 0x0F) * kPfmStepMa;
        const bool forced_pwm = (regs_[0][reg::kFpwm] >> m) & 1;
        const unsigned rail = rail_ma(g);

        if (!(powered_ && nrst_ && !lockout() && buck_enabled(m))) {
            r.phase = BuckRun::Off;
        } else {
            if (r.phase == BuckRun::Off) {
                r.phase = BuckRun::SoftStart;
                r.start_us = now;
            }
            const uint64_t delay = regs_[0][reg::kDelay0 + m] * kDelayStepUs;
            if (r.phase == BuckRun::SoftStart && now >= r.start_us + delay) {
                r.phase = BuckRun::On;
                r.pfm = !forced_pwm && rail < entry && rail < exit;
            }
            if (r.phase == BuckRun::On) {
                if (forced_pwm || (r.pfm && rail >= exit))
                    r.pfm = false;
                else if (!r.pfm && rail < entry && rail < exit)
                    r.pfm = true;
            }
        }
        // Slaves run with their master, so that they carry on from its state
        // if the configuration makes them single again.
        for (int i = 1; i < g.count; ++i)
            runs_[g.members[i]] = r;
    }
}

uint8_t Rx5120::buck_state(int buck, uint64_t now) {
    advance(now);
    if (!powered_)
        return 0;
    if ((regs_[0][reg::kTestMode] >> buck) & 1)
        return 15;
    const Group g = group_of(buck);
    const BuckRun &r = runs_[g.master];
    switch (r.phase) {
    case BuckRun::Off:
        return 0;
    case BuckRun::SoftStart:
        return 3;
    case BuckRun::On:
        break;
    }
    if (sleeping())
        return 13;
    const int active = active_phases(g);
    if (buck == g.master) {
        if (r.pfm)
            return eco(buck) ? 6 : 5;
        return g.count >= 2 && active >= 2 ? static_cast<uint8_t>(6 + active) : 4;
    }
    int index = 0;
    while (g.members[index] != buck)
        ++index;
    return index < active ? 4 : 1;
}

bool Rx5120::eco(int buck) const {
    const Group g = group_of(buck);
    const BuckRun &r = runs_[buck];
    const bool lp_en = regs_[0][reg::kGeneral] & 0x01;
    const bool lp = regs_[0][reg::kBuckCtrl0 + buck] & 0x20;
    return g.master == buck && r.phase == BuckRun::On && r.pfm && !sleeping() && lp && lp_en;
}

uint8_t Rx5120::buck_info(int buck) const {
    const BuckRun &r = runs_[group_of(buck).master];
    uint8_t v = 0;
    if (r.phase == BuckRun::On)
        v |= 0x01; // output in regulation
    if (eco(buck))
        v |= 0x04;
    return v;
}

unsigned Rx5120::output_mv(int buck, uint64_t now) {
    advance(now);
    if (!powered_)
        return 0;
    const Group g = group_of(buck);
    const BuckRun &r = runs_[g.master];
    const unsigned vset = 500 + 10 * (regs_[0][vset_register(g.master)] & 0x7F);
    if (r.phase == BuckRun::Off)
        return 0;
    if (r.phase == BuckRun::On)
        return vset;
    const uint64_t delay = regs_[0][reg::kDelay0 + g.master] * kDelayStepUs;
    if (delay == 0)
        return vset;
    const uint64_t elapsed = std::min(t_ - r.start_us, delay);
    return static_cast<unsigned>(vset * elapsed / delay);
}

unsigned Rx5120::phase_current_ma(int buck) const {
    const Group g = group_of(buck);
    const BuckRun &r = runs_[g.master];
    if (r.phase != BuckRun::On)
        return 0;
    const unsigned rail = rail_ma(g);
    if (g.count == 1)
        return rail;
    if (r.pfm)
        return buck == g.master ? rail : 0;
    const int active = active_phases(g);
    int index = 0;
    while (g.members[index] != buck)
        ++index;
    return index < active ? rail / static_cast<unsigned>(active) : 0;
}

unsigned Rx5120::measured_current(uint64_t now) const {
    const int source = regs_[0][reg::kSelILoad] & 0x07;
    unsigned ma = 0;
    if (source < kBucks) {
        ma = phase_current_ma(source);
    } else if (source == 6) {
        for (int b = 0; b < kBucks; ++b)
            ma += phase_current_ma(b);
    }
    if (ma == 0)
        return 0;
    const int counts = static_cast<int>((ma + 5) / 10) + sample_noise(now / kILoadSampleUs, source);
    return static_cast<unsigned>(std::clamp(counts, 0, 2047));
}

} // namespace virtualkit
