#include "app/device_thread.h"

#include <QCoreApplication>
#include <QTimer>

#include "console/console_engine.h"
#include "device/device_session.h"
#include "device/workbench.h"

namespace evalpanel {

DeviceThread::DeviceThread() : session_(std::make_unique<DeviceSession>()) {
    thread_.setObjectName(QStringLiteral("device"));
    workbench_ = new Workbench(*session_, session_.get());
    engine_ = new console::ConsoleEngine(*session_, *workbench_, session_.get());
}

DeviceThread::~DeviceThread() {
    if (thread_.isRunning()) {
        QThread *home = QThread::currentThread();
        DeviceSession *s = session_.get();
        QMetaObject::invokeMethod(
            s,
            [s, home] {
                s->poll_timer()->stop();
                s->reconnect_timer()->stop();
                s->moveToThread(home);
            },
            Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
}

void DeviceThread::start() {
    session_->moveToThread(&thread_);
    thread_.start();
}

} // namespace evalpanel
