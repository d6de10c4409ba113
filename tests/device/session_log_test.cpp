// The session log: where it goes, what a line looks like, and its bounds.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <thread>

#include "device/session_log.h"

namespace evalpanel {
namespace {

QStringList lines_of(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

TEST(SessionLog, GoesUnderTheStateDirectory) {
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    const struct { const char *value; QString expected; } rows[] = {
        {"/var/state", "/var/state/evalpanel"},
        {"relative/state", QDir::homePath() + "/.local/state/evalpanel"},
        {"", QDir::homePath() + "/.local/state/evalpanel"},
    };
    for (const auto &row : rows) {
        qputenv("XDG_STATE_HOME", row.value);
        EXPECT_EQ(SessionLog::default_directory(), row.expected) << row.value;
    }
    qputenv("XDG_STATE_HOME", saved);
}

TEST(SessionLog, TimestampedLinesWithTheirSourceFromAnyThread) {
    QTemporaryDir dir;
    SessionLog log;
    QString error;
    ASSERT_TRUE(log.open(dir.path() + "/evalpanel", &error,
                         QDateTime(QDate(2026, 12, 7), QTime(18, 5, 9))))
        << error.toStdString();
    EXPECT_EQ(log.path(), dir.path() + "/evalpanel/session-20261207-180509.log");
    log.add("typed", "VSET_B0 = 0x20");
    std::thread other([&log] { log.add("printed", "first\nsecond"); });
    other.join();
    log.add("log", "register 0x00 = 0xA0 (failed)");
    ASSERT_TRUE(log.flush(2000));
    const QStringList lines = lines_of(log.path());
    const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\[(\\w+)\\] (.*)$");
    QStringList seen;
    for (const QString &line : lines) {
        const auto m = stamp.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        seen << m.captured(1) + ": " + m.captured(2);
    }
    EXPECT_EQ(seen, (QStringList{"typed: VSET_B0 = 0x20", "printed: first", "printed: second",
                                 "log: register 0x00 = 0xA0 (failed)"}));
}

TEST(SessionLog, KeepsTheLastSessionsAndBoundsEach) {
    QTemporaryDir dir;
    for (int i = 0; i < 25; ++i) {
        QFile old(dir.filePath(QString::asprintf("session-20260101-0000%02d.log", i)));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    }
    SessionLog log;
    QString error;
    ASSERT_TRUE(log.open(dir.path(), &error)) << error.toStdString();
    const QStringList kept = QDir(dir.path()).entryList({"session-*.log"}, QDir::Files, QDir::Name);
    EXPECT_EQ(kept.size(), SessionLog::kKeptSessions);
    EXPECT_EQ(kept.first(), "session-20260101-000006.log");

    const QString megabyte(1024 * 1024, QLatin1Char('x'));
    for (int i = 0; i < 22; ++i) {
        log.add("printed", megabyte);
        ASSERT_TRUE(log.flush(5000));
    }
    EXPECT_LE(QFileInfo(log.path()).size(), SessionLog::kMaxBytes);
    EXPECT_EQ(lines_of(log.path()).last(), "session log limit reached: nothing more is written");
}

} // namespace
} // namespace evalpanel
