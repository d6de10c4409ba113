// The kit's control language: one command a line, answered by zero or more
// lines and then "ok" or "error: <reason>". Commands act behind the
// program's back: they set conditions of the hardware, switch faults on and
// off, and look inside.
#include "control_interpreter.h"
#include "control_server.h"
#include "control_text.h"

#include <cstdio>

namespace virtualkit {

namespace {

constexpr size_t kMaxLineLength = 512;
constexpr size_t kMaxTokens = 8;

} // namespace

const ControlInterpreter::Command ControlInterpreter::kCommands[] = {
    {"help", "", "this list", 0, 0, &ControlInterpreter::help},
    {"identity", "", "the adapter's USB vendor and product ID", 0, 0,
     &ControlInterpreter::identity},
    {"reset", "", "the whole kit in its power-on state", 0, 0, &ControlInterpreter::reset},
    {"unplug", "", "pull the adapter's cable", 0, 0, &ControlInterpreter::unplug},
    {"plug", "", "plug the adapter back in", 0, 0, &ControlInterpreter::plug},
    {"reenumerate", "MS|off",
     "a bootloader/firmware switch makes the adapter leave the bus after its reply and come back "
     "under a new node MS ms later",
     1, 1, &ControlInterpreter::reenumerate},
    {"nack", "on|off", "the chip stops (or resumes) acknowledging", 1, 1,
     &ControlInterpreter::nack},
    {"reg", "PAGE ADDR [VALUE]", "read or set a chip register (hex)", 2, 3,
     &ControlInterpreter::reg},
    {"pin", "GROUP PIN [LEVEL]", "read or drive an adapter pin (group 0/A or 1/B)", 2, 3,
     &ControlInterpreter::pin},
    {"flag", "NAME on|off",
     "a condition that raises a flag: OVP SCP UVLO THSD T_WARNING I_LOAD_READY NPG_B0..NPG_B5", 2,
     2, &ControlInterpreter::flag},
    {"load", "BUCK MA", "load current on a buck's output", 2, 2, &ControlInterpreter::load},
    {"boardtemp", "CELSIUS", "board sensor temperature", 1, 1, &ControlInterpreter::boardtemp},
    {"dietemp", "LEVEL", "die temperature level 0..3 (TEMP)", 1, 1, &ControlInterpreter::dietemp},
    {"multiphase", "CONFIG", "multiphase configuration 0..15 the chip powers up with", 1, 1,
     &ControlInterpreter::multiphase},
    {"firmware", "none|X.Y.Z", "the adapter's firmware version, or no firmware", 1, 1,
     &ControlInterpreter::firmware},
    {"bootloader", "X.Y.Z", "the adapter's bootloader version", 1, 1,
     &ControlInterpreter::bootloader},
    {"latency", "MS", "delay every reply, like a slow link", 1, 1, &ControlInterpreter::latency},
    {"lose", "N", "lose the next N replies", 1, 1, &ControlInterpreter::lose},
    {"timing", "instant|usb", "replies at once, or at the pace of a full-speed USB adapter", 1, 1,
     &ControlInterpreter::timing},
    {"held", "on|off", "another program holds the adapter open (opening fails: in use)", 1, 1,
     &ControlInterpreter::held},
    {"deny", "on|off", "the adapter's device node refuses this user (opening fails: permission)",
     1, 1, &ControlInterpreter::deny},
    {"refuse", "CODE|off", "answer command CODE (hex) with the failure status; off: none", 1, 1,
     &ControlInterpreter::refuse},
    {"log", "[on|off|clear]", "record exchanges, or show the recent ones", 0, 1,
     &ControlInterpreter::log},
    {"stats", "", "exchanges by command code, and the threads that sent them", 0, 0,
     &ControlInterpreter::stats},
    {"clock", "[real|manual]", "show or choose the kit's clock", 0, 1, &ControlInterpreter::clock},
    {"advance", "MS", "move the manual clock forward", 1, 1, &ControlInterpreter::advance},
    {"status", "", "adapter, pins, chip, bucks and board at a glance", 0, 0,
     &ControlInterpreter::status},
    {"port", "", "the control port's state", 0, 0, &ControlInterpreter::port},
};

std::string ControlInterpreter::run(std::string_view text) {
    if (text.size() > kMaxLineLength)
        return "error: line too long\n";
    Args args;
    if (!split_words(text, kMaxTokens + 1, &args))
        return "error: line holds characters that are not text\n";
    if (args.empty())
        return "ok\n";
    if (args.size() > kMaxTokens)
        return "error: too many words\n";
    for (const Command &c : kCommands) {
        if (args[0] != c.name)
            continue;
        args.erase(args.begin());
        std::string err;
        if (args.size() < c.min_args || args.size() > c.max_args)
            err = std::string("usage: ") + c.name + (*c.usage ? " " : "") + c.usage;
        else
            err = (this->*c.handler)(args);
        return out_ + (err.empty() ? "ok\n" : "error: " + err + "\n");
    }
    return "error: unknown command '" + printable(args[0], 32) + "' (try help)\n";
}

std::string ControlInterpreter::help(const Args &) {
    for (const Command &c : kCommands)
        line(std::string(c.name) + (*c.usage ? " " : "") + c.usage + " : " + c.help);
    return {};
}

std::string ControlInterpreter::identity(const Args &) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%04x 0x%04x", kit_.identity_.vendor_id,
                  kit_.identity_.product_id);
    line(text);
    return {};
}

std::string ControlInterpreter::reset(const Args &) {
    kit_.reset();
    return {};
}

std::string ControlInterpreter::unplug(const Args &) {
    kit_.unplug();
    return {};
}

std::string ControlInterpreter::plug(const Args &) {
    kit_.plug();
    return {};
}

std::string ControlInterpreter::reenumerate(const Args &a) {
    unsigned ms;
    if (a[0] == "off")
        kit_.reenumerate_us_.reset();
    else if (parse_unsigned(a[0], 10, Kit::kMaxLatencyMs, &ms))
        kit_.reenumerate_us_ = uint64_t{ms} * 1000;
    else
        return "expected 0..60000 ms or off";
    return {};
}

std::string ControlInterpreter::nack(const Args &a) {
    bool on;
    if (!parse_on_off(a[0], &on))
        return "expected on or off";
    kit_.chip_.set_nack(on);
    return {};
}

std::string ControlInterpreter::reg(const Args &a) {
    unsigned page, addr, value = 0;
    if (!parse_unsigned(a[0], 16, Rx5120::kPages - 1, &page))
        return "page must be 0..6";
    if (!parse_unsigned(a[1], 16, 0xFF, &addr))
        return "register address must be 00..ff";
    if (a.size() == 3 && !parse_unsigned(a[2], 16, 0xFF, &value))
        return "value must be 00..ff";
    if (!kit_.chip_.powered())
        return "the chip is not powered (VIOSYS is low)";
    if (a.size() == 3) {
        if (!kit_.chip_.poke(static_cast<int>(page), static_cast<uint8_t>(addr),
                             static_cast<uint8_t>(value), now_))
            return "the chip computes this register";
        return {};
    }
    const auto v = kit_.chip_.peek(static_cast<int>(page), static_cast<uint8_t>(addr), now_);
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v.value_or(0));
    line(text);
    return {};
}

std::string ControlInterpreter::pin(const Args &a) {
    unsigned group, number, level = 0;
    if (!parse_group(a[0], &group))
        return "group must be 0, 1, A or B";
    if (!parse_unsigned(a[1], 10, 31, &number))
        return "pin must be 0..31";
    if (a.size() == 3 && !parse_unsigned(a[2], 10, 1, &level))
        return "level must be 0 or 1";
    if (!kit_.plugged_)
        return "the adapter is unplugged";
    if (a.size() == 3) {
        if (Adapter::is_input(static_cast<int>(group), static_cast<int>(number)))
            return "that pin is an input";
        kit_.adapter_.drive_pin(static_cast<int>(group), static_cast<int>(number), level != 0,
                                now_);
        return {};
    }
    const uint32_t word = kit_.adapter_.pin_levels(static_cast<int>(group), now_);
    line(std::to_string((word >> number) & 1));
    return {};
}

std::string ControlInterpreter::flag(const Args &a) {
    const auto c = condition_by_name(a[0]);
    if (!c)
        return "unknown flag '" + printable(a[0], 32) + "'";
    bool on;
    if (!parse_on_off(a[1], &on))
        return "expected on or off";
    kit_.chip_.set_condition(*c, on, now_);
    return {};
}

std::string ControlInterpreter::load(const Args &a) {
    unsigned buck, ma;
    if (!parse_unsigned(a[0], 10, Rx5120::kBucks - 1, &buck))
        return "buck must be 0..5";
    if (!parse_unsigned(a[1], 10, 20470, &ma))
        return "load must be 0..20470 mA";
    kit_.chip_.set_load(static_cast<int>(buck), ma, now_);
    return {};
}

std::string ControlInterpreter::boardtemp(const Args &a) {
    double celsius;
    if (!parse_real(a[0], &celsius) || !kit_.sensor_.set_celsius(celsius))
        return "temperature must be -128..127.9375";
    return {};
}

std::string ControlInterpreter::dietemp(const Args &a) {
    unsigned level;
    if (!parse_unsigned(a[0], 10, 3, &level))
        return "level must be 0..3";
    kit_.chip_.set_die_level(static_cast<int>(level), now_);
    return {};
}

std::string ControlInterpreter::multiphase(const Args &a) {
    unsigned config;
    if (!parse_unsigned(a[0], 10, 15, &config))
        return "configuration must be 0..15";
    kit_.chip_.set_multiphase_default(static_cast<int>(config), now_);
    return {};
}

std::string ControlInterpreter::firmware(const Args &a) {
    uint32_t word = kNoVersion;
    if (a[0] != "none" && !parse_version(a[0], &word))
        return "expected none or X.Y.Z";
    kit_.adapter_.set_firmware(word);
    return {};
}

std::string ControlInterpreter::bootloader(const Args &a) {
    uint32_t word;
    if (!parse_version(a[0], &word))
        return "expected X.Y.Z";
    kit_.adapter_.set_bootloader_version(word);
    return {};
}

std::string ControlInterpreter::latency(const Args &a) {
    unsigned ms;
    if (!parse_unsigned(a[0], 10, Kit::kMaxLatencyMs, &ms))
        return "latency must be 0..60000 ms";
    kit_.latency_us_ = uint64_t{ms} * 1000;
    return {};
}

std::string ControlInterpreter::timing(const Args &a) {
    if (a[0] != "instant" && a[0] != "usb")
        return "expected instant or usb";
    kit_.usb_timing_ = a[0] == "usb";
    return {};
}

std::string ControlInterpreter::held(const Args &a) {
    return parse_on_off(a[0], &kit_.held_) ? std::string{} : "expected on or off";
}

std::string ControlInterpreter::deny(const Args &a) {
    return parse_on_off(a[0], &kit_.denied_) ? std::string{} : "expected on or off";
}

std::string ControlInterpreter::lose(const Args &a) {
    unsigned n;
    if (!parse_unsigned(a[0], 10, 1000000, &n))
        return "expected a count";
    kit_.lose_ = n;
    return {};
}

std::string ControlInterpreter::refuse(const Args &a) {
    if (a[0] == "off") {
        kit_.refused_.fill(false);
        return {};
    }
    unsigned code;
    if (!parse_unsigned(a[0], 16, 0xFF, &code))
        return "expected a command code 00..ff or off";
    kit_.refused_[code] = true;
    return {};
}

std::string ControlInterpreter::log(const Args &a) {
    if (a.empty()) {
        for (const auto &e : kit_.log_) {
            const std::string t = format_ms(e.t_us);
            line(t + " > " + hex_bytes(e.request.data(), e.request.size()));
            line(t + " < " + (e.answered ? hex_bytes(e.reply.data(), e.reply.size()) : "(lost)"));
        }
        return {};
    }
    if (a[0] == "clear") {
        kit_.log_.clear();
        return {};
    }
    if (!parse_on_off(a[0], &kit_.log_on_))
        return "expected on, off or clear";
    return {};
}

std::string ControlInterpreter::stats(const Args &) {
    uint64_t total = kit_.blocks_;
    char text[48];
    for (size_t code = 0; code < kit_.counts_.size(); ++code) {
        if (kit_.counts_[code] == 0)
            continue;
        total += kit_.counts_[code];
        std::snprintf(text, sizeof text, "0x%02X %llu", static_cast<unsigned>(code),
                      static_cast<unsigned long long>(kit_.counts_[code]));
        line(text);
    }
    if (kit_.blocks_)
        line("blocks " + std::to_string(kit_.blocks_));
    line("total " + std::to_string(total));
    std::string writers = "threads";
    for (long tid : kit_.writers_)
        writers += " " + std::to_string(tid);
    line(writers);
    return {};
}

std::string ControlInterpreter::clock(const Args &a) {
    if (!a.empty()) {
        if (a[0] != "real" && a[0] != "manual")
            return "expected real or manual";
        kit_.clock_.set_manual(a[0] == "manual");
        kit_.cv_.notify_all();
        return {};
    }
    line(std::string(kit_.clock_.manual() ? "manual " : "real ") + format_ms(kit_.clock_.now_us()) +
         " ms");
    return {};
}

std::string ControlInterpreter::advance(const Args &a) {
    unsigned ms;
    if (!parse_unsigned(a[0], 10, 86400000, &ms))
        return "expected milliseconds";
    if (!kit_.clock_.manual())
        return "the clock is real; switch it with: clock manual";
    kit_.clock_.advance(uint64_t{ms} * 1000);
    kit_.cv_.notify_all();
    return {};
}

std::string ControlInterpreter::port(const Args &) {
    if (kit_.server_)
        line("listening on 127.0.0.1:" + std::to_string(kit_.server_->port()));
    else if (kit_.server_tried_)
        line("not listening: " + kit_.server_error_);
    else
        line("not started");
    return {};
}

std::string Kit::control(std::string_view line) {
    std::lock_guard lk(mu_);
    return ControlInterpreter(*this).run(line);
}

} // namespace virtualkit
