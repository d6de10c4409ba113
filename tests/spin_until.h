// Runs the calling thread's events until `done` holds or `ms` have passed:
// for tests whose work arrives through queued signals.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

inline bool spin_until(const std::function<bool()> &done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}
