// The script runner on any file contents (first input line: the arguments) beside a
// nested script "sub"; the commands it hands on are checked, not run. Inputs whose
// loops could run more than kMaxPasses passes are declined.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/script_runner.h"
#include "fuzz_support.h"

namespace {

constexpr int64_t kMaxPasses = 512;

// The script's own name cannot be guessed (no self-calls); "sub" sits beside it.
struct Folder : fuzzkit::TempFolder {
    Folder() : TempFolder("/tmp/rx-fuzz-script-XXXXXX") {
        fuzzkit::write_file(dir + "/sub", "# nested: its arguments, a loop, and itself through $0\n"
                                          "$0 = $1\nfor k=0:1:3\n  0x$1[$k] = $2\nend\n// done\n");
    }
    std::string script() const { return dir + "/" + dir.substr(dir.size() - 6) + ".txt"; }
};

// All loop headers, counted as if nested; a bound from a `$` value cannot be counted.
bool loops_bounded(const std::string &text) {
    int64_t passes = 1;
    for (size_t at = text.find("for "); at != std::string::npos; at = text.find("for ", at + 1)) {
        const size_t eol = text.find('\n', at);
        const std::string header = text.substr(at, eol == std::string::npos ? eol : eol - at);
        if (header.find('$') != std::string::npos)
            return false;
        char name[11];
        int consumed = 0;
        if (sscanf(header.c_str(), "for %10[^=]%n", name, &consumed) != 1)
            continue;
        int start = 0, step = 0, end = 0;
        if (sscanf(header.c_str() + consumed, "=%d:%d:%d", &start, &step, &end) != 3 ||
            start >= end || step <= 0)
            continue;
        const int64_t n = (int64_t{end} - start + step - 1) / step;
        if (n > kMaxPasses || (passes *= n) > kMaxPasses) // one pass costs what its body costs
            return false;
    }
    return true;
}

void check_command(const char *line) {
    using fuzzkit::fail;
    if (line[0] == '\0')
        fail("an empty line", line);
    if (strpbrk(line, "\r\n"))
        fail("a line break", line);
    if (line[0] == ' ' || line[0] == '\t' || line[0] == '#' || line[0] == '/')
        fail("a blank line or a comment", line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192)
        return -1;
    static Folder folder;
    fuzzkit::enable_traces();
    const std::string input(reinterpret_cast<const char *>(data), size);
    if (!loops_bounded(input))
        return -1;

    const size_t eol = input.find('\n');
    const std::string arguments = eol == std::string::npos ? input : input.substr(0, eol);
    const std::string body = eol == std::string::npos ? std::string() : input.substr(eol + 1);
    fuzzkit::write_file(folder.script(), body);

    fuzzkit::NullDocument document;
    console::ScriptRunner runner(document, check_command);
    const std::string command = folder.script() + " " + arguments;
    fuzzkit::ScopedDir in_folder(folder.dir); // where "sub" is
    if (runner.run_script(command.c_str()) != 1)
        fuzzkit::fail("the script file did not run", command);
    if (runner.script_depth() != 0)
        fuzzkit::fail("script files still open", command);
    return 0;
}
