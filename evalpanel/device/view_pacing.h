// How far a view on another thread is behind the session's snapshots. The
// session and its view share it, so that either may go first.
#pragma once

#include <atomic>

namespace evalpanel {

struct ViewPacing {
    // While kMaxUnseen snapshots wait in the view's queue, the session waits
    // (at most kMaxPaceMs per snapshot) rather than bury the window under
    // signals of a loop that runs faster than the window can follow.
    static constexpr int kMaxUnseen = 16;
    static constexpr int kMaxPaceMs = 50;
    std::atomic<bool> on{false};
    std::atomic<int> unseen{0};
};

} // namespace evalpanel
