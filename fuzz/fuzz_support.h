// Small helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

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
