// The device side of the program: one thread with the session, the
// workbench and the console engine on it. Everything that talks to the
// adapter runs there; the GUI reaches it through a SessionView and the
// console. The program, the benchmarks and the tests build it alike.
#pragma once

#include <QThread>

#include <memory>

namespace console {
class ConsoleEngine;
} // namespace evalpanel

namespace evalpanel {

class DeviceSession;
class Workbench;

class DeviceThread {
  public:
    // Makes the objects on the calling thread; start() moves them.
    DeviceThread();
    // Brings the objects back and ends the thread (tests, benchmarks); the
    // program ends its process instead.
    ~DeviceThread();
    DeviceThread(const DeviceThread &) = delete;
    DeviceThread &operator=(const DeviceThread &) = delete;

    void start();

    DeviceSession &session() { return *session_; }
    Workbench &workbench() { return *workbench_; }
    console::ConsoleEngine &engine() { return *engine_; }
    QThread &thread() { return thread_; }

  private:
    QThread thread_;
    // The workbench and the engine are the session's children: they move
    // with it.
    std::unique_ptr<DeviceSession> session_;
    Workbench *workbench_ = nullptr;
    console::ConsoleEngine *engine_ = nullptr;
};

} // namespace evalpanel
