// Files for the tests: a fresh temporary working directory (scripts are named
// relative to it) and whole-file writes.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

inline void write_file(const QString &path, const QString &text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(text.toUtf8());
}

// The working directory is `dir` while the object lives.
class InTempDir {
  public:
    InTempDir() : saved_(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(saved_); }
    QTemporaryDir dir;

  private:
    QString saved_;
};
