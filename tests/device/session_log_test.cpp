// The session log: where it goes, what a line looks like, and its bounds.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>

#include <thread>

#include "test_platform.h"

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
    // Without one: ~/.local/state, or on Windows the local application data.
    const QString fallback =
        (QSysInfo::productType() == QLatin1String("windows")
             ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
             : QDir::homePath() + "/.local/state") +
        "/evalpanel";
    const struct { const char *value; QString expected; } rows[] = {
        {"/var/state", "/var/state/evalpanel"},
        {"relative/state", fallback},
        {"", fallback},
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

// Another run's log is never removed while that run holds it; the rest go
// oldest first, the runs of one second in the order they started. Of 20
// old ones two go: the first two runs of the oldest second.
TEST(SessionLog, KeepsTheLastSessionsButNeverOneInUseAndBoundsEach) {
    QTemporaryDir dir;
    SessionLog held, log;
    ASSERT_TRUE(held.open(dir.path(), nullptr, QDateTime(QDate(2020, 1, 1), QTime(0, 0))));
    for (const char *suffix : {"", "-2", "-10"})
        for (int i = 0; i < 7 - (suffix[0] == '\0'); ++i)
            QFile(dir.filePath(QString::asprintf("session-20260101-0000%02d%s.log", i, suffix)))
                .open(QIODevice::WriteOnly);
    ASSERT_TRUE(log.open(dir.path(), nullptr));
    const QStringList kept = QDir(dir.path()).entryList({"session-*.log"}, QDir::Files);
    EXPECT_EQ(kept.size(), SessionLog::kKeptSessions);
    EXPECT_TRUE(kept.contains(QFileInfo(held.path()).fileName()));
    EXPECT_TRUE(kept.contains("session-20260101-000000-10.log"));
    EXPECT_FALSE(kept.contains("session-20260101-000000-2.log"));

    const QString megabyte(1024 * 1024, QLatin1Char('x'));
    for (int i = 0; i < 22; ++i) {
        log.add("printed", megabyte);
        ASSERT_TRUE(log.flush(5000));
    }
    EXPECT_LE(QFileInfo(log.path()).size(), SessionLog::kMaxBytes);
    EXPECT_EQ(lines_of(log.path()).last(), "session log limit reached: nothing more is written");
}

// A disk without room (the process's file size limit stands in for it):
// said once on stderr; once there is room again the file says how many
// lines it lost, on a line of its own.
TEST(SessionLog, AFullDiskIsSaidOnceAndNotedWhenThereIsRoomAgain) {
    QTemporaryDir dir;
    SessionLog log;
    ASSERT_TRUE(log.open(dir.path(), nullptr));
    log.add("printed", QString(8000, QLatin1Char('b')));
    ASSERT_TRUE(log.flush(5000));
    testing::internal::CaptureStderr();
    if (!test_platform::limit_file_size(QFileInfo(log.path()).size() + 40)) {
        testing::internal::GetCapturedStderr();
        GTEST_SKIP() << "no file size limit on this system";
    }
    for (const QString &line : {QString(100, QLatin1Char('x')), QString("lost too")}) {
        log.add("printed", line);
        log.flush(5000);
    }
    test_platform::restore_file_size();
    log.add("printed", "after");
    ASSERT_TRUE(log.flush(5000));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("session log"), said.rfind("session log")) << said;
    EXPECT_NE(said.find(log.path().toStdString() + ": File too large"), std::string::npos) << said;
    const QStringList lines = lines_of(log.path());
    ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[1].endsWith("xxxxx") && lines[3].endsWith(" [printed] after") &&
                lines[2].endsWith(" [log] 2 lines lost: the disk was full"));
}

} // namespace
} // namespace evalpanel
