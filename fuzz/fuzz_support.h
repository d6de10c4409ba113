// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QLoggingCategory>
#include <QtGlobal>

#include "console/console_document.h"

namespace fuzzkit {

// A broken contract: said, then the process aborted, so the fuzzer keeps the input.
[[noreturn]] inline void fail(const std::string &what, const std::string &detail = {}) {
    std::fprintf(stderr, "fuzz: %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

// Developer traces on, so that their formatting runs on every input, then dropped.
inline void enable_traces() {
    static const bool done = [] {
        qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { (void)text.size(); });
        QLoggingCategory::setFilterRules(QStringLiteral("evalpanel.*.debug=true"));
        return true;
    }();
    (void)done;
}

// A whole file, written or the process aborted (the machine failed, not the input).
inline void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        abort();
}

// A folder of its own under /tmp, removed whole when it goes.
struct TempFolder {
    std::string dir;
    explicit TempFolder(std::string templ) {
        if (!mkdtemp(templ.data()))
            abort();
        dir = templ;
    }
    ~TempFolder() { std::filesystem::remove_all(dir); }
};

// The current directory for a while (libFuzzer writes by relative paths).
struct ScopedDir {
    const std::filesystem::path back = std::filesystem::current_path();
    explicit ScopedDir(const std::string &dir) { std::filesystem::current_path(dir); }
    ~ScopedDir() { std::filesystem::current_path(back); }
};

// The console's document; nothing the targets run reads it back.
class NullDocument : public console::ConsoleDocument {
  public:
    void move_to_end() override {}
    void move_left(int) override {}
    void insert_text(const QString &text) override { (void)text.toUtf8(); }
    void delete_before(int) override {}
    void delete_after() override {}
    void append_paragraph(const QString &text) override { (void)text.toUtf8(); }
};

} // namespace fuzzkit
