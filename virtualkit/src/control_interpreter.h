// The interpreter of the kit's control language: a table of commands, each
// with its usage, its help line and its handler. It works on the kit's state
// with the kit's lock held.
#pragma once

#include "kit.h"

#include <string>
#include <string_view>
#include <vector>

namespace virtualkit {

class ControlInterpreter {
  public:
    explicit ControlInterpreter(Kit &kit) : kit_(kit), now_(kit.clock_.now_us()) {}

    std::string run(std::string_view line);

  private:
    using Args = std::vector<std::string>;
    using Handler = std::string (ControlInterpreter::*)(const Args &);
    struct Command {
        const char *name;
        const char *usage;
        const char *help;
        size_t min_args, max_args;
        Handler handler;
    };
    static const Command kCommands[];

    void line(const std::string &text) { out_ += text + "\n"; }

    std::string help(const Args &);
    std::string identity(const Args &);
    std::string reset(const Args &);
    std::string unplug(const Args &);
    std::string plug(const Args &);
    std::string reenumerate(const Args &);
    std::string nack(const Args &);
    std::string reg(const Args &);
    std::string pin(const Args &);
    std::string flag(const Args &);
    std::string load(const Args &);
    std::string boardtemp(const Args &);
    std::string dietemp(const Args &);
    std::string multiphase(const Args &);
    std::string firmware(const Args &);
    std::string bootloader(const Args &);
    std::string latency(const Args &);
    std::string timing(const Args &);
    std::string held(const Args &);
    std::string deny(const Args &);
    std::string lose(const Args &);
    std::string refuse(const Args &);
    std::string log(const Args &);
    std::string stats(const Args &);
    std::string clock(const Args &);
    std::string advance(const Args &);
    std::string status(const Args &);
    std::string port(const Args &);

    Kit &kit_;
    uint64_t now_;
    std::string out_;
};

} // namespace virtualkit
