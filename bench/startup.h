// Start-up of the program as a user meets it: the executable is started as a
// child process with the offscreen platform, and the clock runs until its
// console answers over TCP. The console relay listens from the end of the
// window's construction, but a line is only answered once the event loop
// runs, that is after the window has been shown: the first answer marks the
// first shown window. Peak memory is the child's VmHWM a moment later.
#pragma once

#include <string>

namespace bench {

struct StartupFigures {
    bool ok = false;
    std::string error;    // why the run failed
    double listen_ms = 0; // console port accepting
    double ready_ms = 0;  // first console answer: window shown, event loop running
    long peak_rss_kib = 0;
};

// Runs the program once in `workdir`; `settle_ms` after the first answer
// its peak memory is read and it is ended with SIGTERM.
StartupFigures measure_startup(const std::string &program, const std::string &workdir,
                               int settle_ms);

} // namespace bench
