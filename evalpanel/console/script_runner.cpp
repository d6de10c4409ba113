#include "script_runner.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/regular_file.h"

#include "console_trace.h"

namespace console {

namespace {

constexpr int kReadSize = 256; // a read gives at most 255 characters

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
    FILE *file = fdopen(fd, "rb");
    if (!file)
        ::close(fd);
    return file;
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
    if (script_depth_ >= kMaxDepth) {
        document_.append_paragraph(QStringLiteral("script has too deep recursion."));
        return -1;
    }

    char word[kMaxArguments + 1][257] = {};
    int words =
        sscanf(line,
               "%256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] %256[^ ] "
               "%256[^ ] ",
               word[0], word[1], word[2], word[3], word[4], word[5], word[6], word[7], word[8]);
    if (words < 1)
        return -1;
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
        document_.append_paragraph(QStringLiteral("script has too deep recursion."));
        return -1;
    }
    FILE *file = open_script(path.c_str());
    if (!file) {
        trace("cannot open file \"%s\"", path.c_str());
        return -1;
    }
    ++script_depth_;
    frames_.push_back({path, 1});
    char buffer[kReadSize];
    int line = 0;
    while (!stopped() && read_line(buffer, sizeof buffer, file, &line)) {
        // Anything but ASCII means this is no script: stop reading it.
        if (has_non_ascii(buffer))
            break;
        run_line(file, replace_arguments(buffer, arguments), arguments, line);
    }
    fclose(file);
    frames_.pop_back();
    --script_depth_;
    return 1;
}

char *ScriptRunner::read_line(char *buffer, int size, FILE *file, int *line) {
    char *got = fgets(buffer, size, file);
    if (got != nullptr && !frames_.empty()) {
        Frame &frame = frames_.back();
        *line = frame.next_line;
        // A line longer than the buffer arrives in pieces: one line still.
        if (strchr(buffer, '\n') != nullptr)
            ++frame.next_line;
    }
    return got;
}

void ScriptRunner::run_command(const std::string &command, int line) {
    if (run_script(command.c_str()) != -1)
        return;
    parse_cmd_(command.c_str());
    if (failed_ && !failure_ && failed_())
        failure_ = Failure{frames_.empty() ? std::string() : frames_.back().file, line};
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
        document_.append_paragraph(QStringLiteral("script has too deep recursion."));
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
        char buffer[kReadSize];
        int number = 0;
        while (read_line(buffer, sizeof buffer, file, &number)) {
            if (stopped())
                return;
            std::string line = replace_variable(replace_arguments(buffer, arguments), name, value);
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
    char buffer[kReadSize];
    int number = 0;
    while (read_line(buffer, sizeof buffer, file, &number)) {
        std::string line = replace_arguments(buffer, arguments);
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
