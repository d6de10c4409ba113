// Script files: every console line is first offered here. If its first word
// names a file that opens, the file runs line by line, with the further words
// as arguments ($0 to $7), comments, nested scripts and counted loops.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console_document.h"
#include "interrupt.h"

namespace console {

class ScriptRunner {
  public:
    static constexpr int kMaxDepth = 30;     // script files open at once
    static constexpr int kMaxArguments = 8;  // words behind the file name
    static constexpr int kMaxLoopName = 9;   // characters of a loop variable
    static constexpr int kMaxLoopDepth = 30; // loops nested in one another
    static constexpr int kMaxLineLength = 255; // characters of a command line

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
    // Runs the file at `path` (any name: blanks, any length) with the
    // arguments; -1 when it cannot be opened or too many scripts are open.
    int run_file(const std::string &path, const Arguments &arguments);
    // Runs an open file (standard input, copied into a seekable one) under
    // `name`, which messages use; the caller closes it.
    void run_stream(FILE *file, const std::string &name, const Arguments &arguments);

    // Where a script stopped at its first failing command: the innermost
    // script's file and line, and what the command said.
    struct Failure {
        std::string file;
        int line = 0; // 0: the file as a whole was refused
        // What the script itself could not do (its encoding, a line too
        // long); empty when a command failed and said so itself.
        std::string message;
        // The calls that led there, innermost first: " (from outer.txt:4)";
        // empty in the script that was started.
        std::string from;
    };
    // With a check, the command that fails (the check says so after it ran)
    // ends every running script and loop; failure() tells where.
    void set_failure_check(std::function<bool()> failed) { failed_ = std::move(failed); }
    const std::optional<Failure> &failure() const { return failure_; }
    void clear_failure() { failure_.reset(); }
    // The command that runs now or ran last: where a stop found the script.
    const Failure &position() const { return position_; }

    // Where the runner's own messages go (the console's output); the
    // document when not set.
    void set_printer(std::function<void(const QString &)> print) { print_ = std::move(print); }

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
    // A script being read: its name and the number of its next line.
    struct Frame {
        std::string file;
        int next_line = 1;
        bool ended = false; // the rest of the file is not run
    };
    // One line of a file: its first kMaxLineLength + 1 characters, and
    // what was seen in the whole of it.
    struct Line {
        std::string text;
        bool too_long = false;
        bool non_ascii = false;
    };

    void run_line(FILE *file, const std::string &line, const Arguments &arguments, int number);
    void skip_loop_body(FILE *file, const Arguments &arguments);
    // fgets that counts the lines of the innermost script; the line number
    // of what it read goes to *line.
    bool read_line(FILE *file, Line *read, int *line);
    bool file_ended() const { return !frames_.empty() && frames_.back().ended; }
    // A line the runner will not run ends the file; false for such a line.
    bool acceptable(const Line &read, int number);
    // Refuses a file whose encoding is not ASCII text (after skipping a
    // UTF-8 byte order mark); false when refused.
    bool check_encoding(FILE *file);
    void script_failure(int line, const std::string &message);
    // Where the scripts that are open were called from (Failure::from).
    std::string callers() const;
    // More scripts or loops open than allowed: said like any output, and a
    // failure of the line that asked for one more.
    void too_deep();
    // Runs one command of a script: another script, or the interpreter.
    void run_command(const std::string &command, int line);

    ConsoleDocument &document_;
    CommandSink parse_cmd_;
    bool stopped() { return failure_ || (interrupt_ != nullptr && interrupt_->check()); }

    std::vector<Frame> frames_;
    std::function<bool()> failed_;
    std::optional<Failure> failure_;
    Failure position_;
    std::function<void(const QString &)> print_;

    int script_depth_ = 0;
    int loop_depth_ = 0;
    Interrupt *interrupt_ = nullptr;
};

} // namespace console
