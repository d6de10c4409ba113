// Script files: every console line is first offered here. If its first word
// names a file that opens, the file runs line by line, with the further words
// as arguments ($0 to $7), comments, nested scripts and counted loops.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "console_document.h"
#include "interrupt.h"

namespace console {

class ScriptRunner {
  public:
    static constexpr int kMaxDepth = 30;     // script files open at once
    static constexpr int kMaxArguments = 8;  // words behind the file name
    static constexpr int kMaxLoopName = 9;   // characters of a loop variable
    static constexpr int kMaxLoopDepth = 30; // loops nested in one another

    struct Arguments {
        int count = 0;
        std::string word[kMaxArguments];
    };

    // Carries out one command line (the interpreter).
    using CommandSink = std::function<void(const char *line)>;

    ScriptRunner(ConsoleDocument &document, CommandSink parse_cmd);

    // Runs the file named by the line's first word. Gives -1 when it declines
    // (empty line, too many scripts open, no such file), 1 when the file ran.
    int run_script(const char *line);

    // Runs a loop whose header line was just read from file; the body is read
    // from the file up to the loop's end line, once per pass. A loop nested
    // deeper than kMaxLoopDepth runs no pass and says so.
    void run_for_loop(FILE *file, const char *header, const Arguments &arguments);

    int script_depth() const { return script_depth_; }

    // Looked at before every line and every pass: a stop request ends all
    // running scripts and loops.
    void set_interrupt(Interrupt *interrupt) { interrupt_ = interrupt; }

    // Replaces $0..$9 by the arguments; a reference to a missing argument
    // cuts the line there.
    static std::string replace_arguments(const std::string &line, const Arguments &arguments);

  private:
    void run_line(FILE *file, const std::string &line, const Arguments &arguments);
    void skip_loop_body(FILE *file, const Arguments &arguments);

    ConsoleDocument &document_;
    CommandSink parse_cmd_;
    bool stopped() { return interrupt_ != nullptr && interrupt_->check(); }

    int script_depth_ = 0;
    int loop_depth_ = 0;
    Interrupt *interrupt_ = nullptr;
};

} // namespace console
