#include "script_runner.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>


#include "support/regular_file.h"

#include "console_trace.h"

namespace console {

namespace {

constexpr int kReadSize = 256; // one fgets piece

const char *skip_blanks(const char *p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// Blank lines and comments ("#..." and "//...").
bool is_skipped(const char *p) {
    return *p == '\0' || *p == '\n' || *p == '\r' || *p == '#' || *p == '/';
}

std::string cut_at_line_break(const char *p) {
    return std::string(p, strcspn(p, "\r\n"));
}

bool starts_with(const std::string &text, const char *prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool has_non_ascii(const char *line) {
    for (const char *p = line; *p; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80)
            return true;
    }
    return false;
}

// The encoding of text that is not ASCII at all, from its first bytes;
// nullptr for anything else.
const char *wide_encoding(const unsigned char *b, size_t n) {
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE)
        return "UTF-16LE";
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF)
        return "UTF-16BE";
    if (n >= 4 && b[0] != 0 && b[1] == 0 && b[2] != 0 && b[3] == 0)
        return "UTF-16LE";
    if (n >= 4 && b[0] == 0 && b[1] != 0 && b[2] == 0 && b[3] != 0)
        return "UTF-16BE";
    return nullptr;
}

// Reads a loop header's variable name. Names of more than kMaxLoopName
// characters are refused. On success, *rest points at the "=".
bool read_loop_name(const char *header, char (&name)[11], const char **rest) {
    int consumed = 0;
    if (sscanf(header, "for %10[^=]%n", name, &consumed) != 1 || consumed == 0)
        return false;
    if (strlen(name) > static_cast<size_t>(ScriptRunner::kMaxLoopName) || header[consumed] != '=')
        return false;
    *rest = header + consumed;
    return true;
}

// Replaces "$name" (the name matched as a prefix of the text behind "$") by
// the value in decimal.
std::string replace_variable(const std::string &line, const char *name, int64_t value) {
    const std::string digits = std::to_string(value);
    const size_t name_length = strlen(name);
    std::string out;
    out.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '$' && line.compare(i + 1, name_length, name) == 0) {
            out += digits;
            i += name_length;
        } else {
            out += line[i];
        }
    }
    return out;
}

// Only a regular file is a script: a directory, a device or a FIFO of the
// same name as a command must not swallow the command.
FILE *open_script(const char *name) {
    const int fd = support::open_regular_file(name);
    if (fd < 0)
        return nullptr;
    return support::file_stream(fd, "rb");
}

} // namespace

ScriptRunner::ScriptRunner(ConsoleDocument &document, CommandSink parse_cmd)
    : document_(document), parse_cmd_(std::move(parse_cmd)) {}

std::string ScriptRunner::replace_arguments(const std::string &line, const Arguments &arguments) {
    std::string out;
    out.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '$' && i + 1 < line.size() &&
            isdigit(static_cast<unsigned char>(line[i + 1]))) {
            int index = line[i + 1] - '0';
            if (index >= arguments.count)
                break; // a missing argument drops the rest of the line
            out += arguments.word[index];
            ++i;
        } else {
            out += line[i];
        }
    }
    return out;
}

int ScriptRunner::run_script(const char *line) {
    trace("recur = %d", script_depth_);
    if (!line || line[0] == '\0')
        return -1;

    char word[kMaxArguments + 1][257] = {};
    int words =
        sscanf(line,
               "%256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] "
               "%256[^ ] ",
               word[0], word[1], word[2], word[3], word[4], word[5], word[6], word[7], word[8]);
    if (words < 1)
        return -1;
    if (script_depth_ >= kMaxDepth) {
        // Only a line that names a script is one too many; any other line
        // is a command like everywhere else.
        FILE *file = open_script(word[0]);
        if (!file)
            return -1;
        fclose(file);
        too_deep();
        return 0;
    }
    Arguments arguments;
    arguments.count = words - 1;
    for (int i = 0; i < arguments.count; ++i) {
        arguments.word[i] = word[i + 1];
        trace("%s", word[i + 1]);
    }
    trace("(%d)\n", arguments.count);

    return run_file(word[0], arguments);
}

int ScriptRunner::run_file(const std::string &path, const Arguments &arguments) {
    if (script_depth_ >= kMaxDepth) {
        too_deep();
        return -1;
    }
    FILE *file = open_script(path.c_str());
    if (!file) {
        trace("cannot open file \"%s\"", path.c_str());
        return -1;
    }
    run_stream(file, path, arguments);
    fclose(file);
    return 1;
}

void ScriptRunner::run_stream(FILE *file, const std::string &name, const Arguments &arguments) {
    ++script_depth_;
    frames_.push_back({name, 1, false});
    Line read;
    int line = 0;
    if (check_encoding(file)) {
        while (!stopped() && !frames_.back().ended && read_line(file, &read, &line)) {
            if (acceptable(read, line))
                run_line(file, replace_arguments(read.text, arguments), arguments, line);
        }
    }
    frames_.pop_back();
    --script_depth_;
}

std::string ScriptRunner::callers() const {
    std::string from;
    for (size_t i = frames_.size(); i-- > 1;) {
        const Frame &caller = frames_[i - 1];
        from += (from.empty() ? " (from " : ", from ") + caller.file + ":" +
                std::to_string(caller.next_line - 1);
    }
    return from.empty() ? from : from + ")";
}

void ScriptRunner::too_deep() {
    const QString text = QStringLiteral("script has too deep recursion.");
    if (print_)
        print_(text);
    else
        document_.append_paragraph(text);
    if (failed_ && !failure_)
        failure_ = Failure{frames_.empty() ? std::string() : frames_.back().file,
                           frames_.empty() ? 0 : frames_.back().next_line - 1,
                           text.toStdString(), callers()};
}

bool ScriptRunner::read_line(FILE *file, Line *read, int *line) {
    read->text.clear();
    read->too_long = read->non_ascii = false;
    char piece[kReadSize];
    bool got = false;
    // A line longer than a piece is read to its end: its tail is never a
    // line of its own.
    while (fgets(piece, sizeof piece, file) != nullptr) {
        got = true;
        read->non_ascii = read->non_ascii || has_non_ascii(piece);
        const size_t room = kMaxLineLength + 2 - std::min<size_t>(read->text.size(),
                                                                   kMaxLineLength + 2);
        read->text.append(piece, std::min(room, strlen(piece)));
        if (strchr(piece, '\n') != nullptr)
            break;
    }
    if (!got)
        return false;
    read->too_long = cut_at_line_break(read->text.c_str()).size() > kMaxLineLength;
    if (!frames_.empty()) {
        Frame &frame = frames_.back();
        *line = frame.next_line++;
    }
    return true;
}

bool ScriptRunner::acceptable(const Line &read, int number) {
    // Anything but ASCII means this is no script: none of the rest runs,
    // and that is a failure, not a script that ended early.
    if (read.non_ascii) {
        script_failure(number, "non-ASCII character; the rest of the script was not run");
        return false;
    }
    // A comment is a comment to its end however long it is; a command
    // that does not fit is not run cut short, nor its tail on its own.
    const char *p = skip_blanks(read.text.c_str());
    if (read.too_long && !is_skipped(p)) {
        script_failure(number, "line longer than " + std::to_string(kMaxLineLength) +
                                   " characters");
        return false;
    }
    return true;
}

bool ScriptRunner::check_encoding(FILE *file) {
    unsigned char head[4] = {};
    const size_t n = fread(head, 1, sizeof head, file);
    const bool bom = n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
    if (const char *encoding = wide_encoding(head, n)) {
        script_failure(0, std::string("the file is ") + encoding +
                              " text; scripts are ASCII (save it as ASCII or UTF-8)");
        return false;
    }
    return fseek(file, bom ? 3 : 0, SEEK_SET) == 0;
}

void ScriptRunner::script_failure(int line, const std::string &message) {
    const std::string file = frames_.empty() ? std::string() : frames_.back().file;
    if (!frames_.empty())
        frames_.back().ended = true;
    const std::string from = callers();
    const std::string where = file + (line > 0 ? ":" + std::to_string(line) : "") + from + ": ";
    const QString text = QString::fromLocal8Bit((where + message).c_str());
    if (print_)
        print_(text);
    else
        document_.append_paragraph(text);
    if (failed_ && !failure_)
        failure_ = Failure{file, line, message, from};
}

void ScriptRunner::run_command(const std::string &command, int line) {
    position_ = Failure{frames_.empty() ? std::string() : frames_.back().file, line, {}, callers()};
    if (run_script(command.c_str()) != -1)
        return;
    parse_cmd_(command.c_str());
    if (failed_ && !failure_ && failed_())
        failure_ = position_;
}

void ScriptRunner::run_line(FILE *file, const std::string &line, const Arguments &arguments,
                            int number) {
    const char *p = skip_blanks(line.c_str());
    if (is_skipped(p))
        return;
    std::string command = cut_at_line_break(p);
    if (starts_with(command, "for ")) {
        run_for_loop(file, command.c_str(), arguments);
        return;
    }
    run_command(command, number);
}

void ScriptRunner::run_for_loop(FILE *file, const char *header, const Arguments &arguments) {
    trace("for loop : \"%s\"", header);
    char name[11] = {};
    const char *rest = nullptr;
    if (!read_loop_name(header, name, &rest))
        return;
    int start = 0, step = 0, end = 0;
    if (sscanf(rest, "=%d:%d:%d", &start, &step, &end) != 3)
        return;

    // A loop that would run no pass, or never finish, runs no pass: its body
    // up to its own end line is passed over.
    if (start >= end || step <= 0) {
        skip_loop_body(file, arguments);
        return;
    }
    // Each nested loop runs one level deeper on the stack: a file of
    // thousands of nested headers would exhaust it. Past the limit the loop
    // is passed over like one that runs no pass.
    if (loop_depth_ >= kMaxLoopDepth) {
        too_deep();
        skip_loop_body(file, arguments);
        return;
    }
    struct Level {
        int &depth;
        explicit Level(int &d) : depth(++d) {}
        ~Level() { --depth; }
    } level(loop_depth_);

    const long body = ftell(file);
    if (body < 0)
        return;
    const int body_line = frames_.empty() ? 1 : frames_.back().next_line;
    // 64 bits: the last step may carry the variable past the int range.
    for (int64_t value = start; value < end; value += step) {
        if (fseek(file, body, SEEK_SET) != 0)
            return;
        if (!frames_.empty())
            frames_.back().next_line = body_line;
        bool reached_end_line = false;
        Line read;
        int number = 0;
        while (read_line(file, &read, &number)) {
            if (stopped() || file_ended() || !acceptable(read, number))
                return;
            std::string line =
                replace_variable(replace_arguments(read.text, arguments), name, value);
            const char *p = skip_blanks(line.c_str());
            if (is_skipped(p))
                continue;
            std::string command = cut_at_line_break(p);
            if (starts_with(command, "end")) {
                reached_end_line = true;
                break;
            }
            if (starts_with(command, "for "))
                run_for_loop(file, command.c_str(), arguments);
            else
                run_command(command, number);
        }
        if (!reached_end_line)
            return; // the file ended inside the body: so does the loop
    }
}

void ScriptRunner::skip_loop_body(FILE *file, const Arguments &arguments) {
    int nested = 0;
    Line read;
    int number = 0;
    while (read_line(file, &read, &number)) {
        std::string line = replace_arguments(read.text, arguments);
        const char *p = skip_blanks(line.c_str());
        if (is_skipped(p))
            continue;
        std::string command = cut_at_line_break(p);
        if (starts_with(command, "end")) {
            if (nested == 0)
                return;
            --nested;
            continue;
        }
        char name[11];
        const char *rest = nullptr;
        if (starts_with(command, "for ") && read_loop_name(command.c_str(), name, &rest))
            ++nested;
    }
}

} // namespace console
