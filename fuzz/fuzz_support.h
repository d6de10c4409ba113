// Small helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <QLoggingCategory>
#include <QtGlobal>

namespace fuzzkit {

// Turns on the program's developer traces, so that their formatting runs on
// every input too, and drops the lines instead of printing them.
inline void enable_traces() {
    static const bool done = [] {
        qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { (void)text.size(); });
        QLoggingCategory::setFilterRules(QStringLiteral("evalpanel.*.debug=true"));
        return true;
    }();
    (void)done;
}

// Runs a piece of a fuzz target inside a folder of its own and returns to
// the folder it came from: libFuzzer writes its corpus and artifacts by
// relative paths.
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
    ScopedDir(const ScopedDir &) = delete;
    ScopedDir &operator=(const ScopedDir &) = delete;

  private:
    int back_;
};

} // namespace fuzzkit
