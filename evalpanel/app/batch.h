// Batch mode: the connection sequence, then one script file run to its
// first failing command, with no window and no display. Its output goes to
// stdout; the failure goes to stderr as "FILE:LINE: MESSAGE".
#pragma once

#include <QString>
#include <QStringList>

namespace evalpanel {

// Exit statuses of batch mode.
constexpr int kBatchOk = 0;
constexpr int kBatchFailed = 1;    // a command failed
constexpr int kBatchBadUsage = 2;  // bad options, a file that cannot be read
constexpr int kBatchNoAdapter = 3; // no adapter could be opened

struct BatchOptions {
    QString file; // "-": standard input
    QStringList arguments;
    bool keep_session_log = true;
    QString junit;           // a JUnit XML report of the checks, when not empty
    bool keep_going = false; // a failing expect does not stop the run
};

// Runs the script with its arguments as $0...; needs a QCoreApplication.
// The exit status (128 + the signal's number when a signal stopped it).
int run_batch(const BatchOptions &options);

} // namespace evalpanel
