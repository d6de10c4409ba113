// Applies gathered changes to a widget at most once per frame: the first
// request after a quiet spell is applied on the next turn of the event loop
// (typing stays immediate), later ones wait for the frame to be over, so a
// burst of a thousand lines is laid out a few dozen times, not a thousand.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

class FramePacer {
  public:
    static constexpr int kFrameMs = 16;

    explicit FramePacer(std::function<void()> apply) : apply_(std::move(apply)) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] { run_now(); });
    }

    void request() {
        if (timer_.isActive())
            return;
        const qint64 since = last_.isValid() ? last_.elapsed() : kFrameMs;
        timer_.start(since >= kFrameMs ? 0 : static_cast<int>(kFrameMs - since));
    }

    // Applies what is gathered at once (before a reader looks, or before a
    // change that cannot wait).
    void run_now() {
        timer_.stop();
        last_.start();
        apply_();
    }

  private:
    std::function<void()> apply_;
    QTimer timer_;
    QElapsedTimer last_;
};
