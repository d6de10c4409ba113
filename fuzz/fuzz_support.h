// Small helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QLoggingCategory>
#include <QtGlobal>

#include "console/console_document.h"

namespace fuzzkit {

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

// A folder of its own under /tmp; the files named in `files` and the folder
// go when it does (targets keep theirs for the whole process).
struct TempFolder {
    std::string dir;
    std::vector<std::string> files;
    explicit TempFolder(std::string templ) {
        if (!mkdtemp(templ.data()))
            abort();
        dir = templ;
    }
    ~TempFolder() {
        for (const std::string &f : files)
            unlink((dir + "/" + f).c_str());
        rmdir(dir.c_str());
    }
};

// A piece of a target inside a folder of its own, back where it came from
// afterwards: libFuzzer writes its corpus and artifacts by relative paths.
class ScopedDir {
  public:
    explicit ScopedDir(const char *dir) : back_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (back_ < 0 || chdir(dir) != 0)
            abort();
    }
    ~ScopedDir() {
        if (fchdir(back_) != 0)
            abort();
        close(back_);
    }

  private:
    int back_;
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
