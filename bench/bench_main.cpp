// The benchmarks: what one exchange with the adapter costs the host, what one
// status poll tick costs the window, how fast the console runs a script, how
// long the bus test takes, and how long the program takes to start and how
// much memory it needs. Everything runs on the virtual kit in real time.
// Prints one Markdown table.
//
//   evalpanel_bench [--quick]
//
// --quick runs every measurement with a fraction of its repetitions, to show
// that the benchmark works, not to produce figures.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QThread>
#include <QTcpServer>

#include <atomic>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bridgeio.h"
#include "console/console.h"
#include "console/relay.h"
#include "form.h"
#include "kit_control.h"
#include "machine.h"
#include "mainwindow/mainwindow.h"
#include "measure.h"
#include "device/workbench.h"
#include "telemetry_window.h"
#include <QDateTime>
#include "device/device_session.h"
#include "startup.h"

namespace {

struct Row {
    std::string what;
    std::string result;
    std::string goal;
};

struct Sizes {
    int exchanges = 20000;
    int ticks = 2000;
    int script_lines = 10000;
    int startups = 5;
};

// Exchanges the kit has answered so far ("total" of its statistics): proves
// that a measured loop reached the kit as often as it claims.
long long kit_exchanges() {
    char reply[4096] = {};
    if (kit_control("stats", reply, sizeof reply) != 0)
        return -1;
    const char *total = std::strstr(reply, "total ");
    return total ? std::atoll(total + 6) : -1;
}

// ---- One exchange -------------------------------------------------------

// read_pin: one 64-byte request, one 64-byte reply, nothing else.
void bench_exchange(const Sizes &n, std::vector<Row> &rows) {
    const BridgeHandle h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    if (h == BRIDGEIO_INVALID_HANDLE) {
        rows.push_back({"exchange through the library", "failed: kit not found", "< 20 us"});
        return;
    }
    start_firmware(h);
    uint32_t levels = 0;
    for (int i = 0; i < 200; ++i) // warm-up
        read_pin(h, 0, &levels);
    int failures = 0;
    const long long before = kit_exchanges();
    bench::Stopwatch w;
    for (int i = 0; i < n.exchanges; ++i)
        failures += read_pin(h, 0, &levels) != 0;
    w.stop();
    const long long counted = kit_exchanges() - before;

    // The same at the pace of a full-speed USB HID adapter (1 ms frames).
    const int usb_exchanges = std::max(1, n.exchanges / 20);
    kit_control("timing usb", nullptr, 0);
    bench::Stopwatch u;
    for (int i = 0; i < usb_exchanges; ++i)
        failures += read_pin(h, 0, &levels) != 0;
    u.stop();
    kit_control("timing instant", nullptr, 0);
    usb_hid_close(h);
    const double per_wall_us = w.wall_s() * 1e6 / n.exchanges;
    const double per_cpu_us = w.cpu_s() * 1e6 / n.exchanges;
    rows.push_back({"one exchange through the library (read_pin), CPU",
                    bench::fixed(per_cpu_us, 2) + " us" +
                        (failures ? " (" + std::to_string(failures) + " failed)" : ""),
                    "< 20 us"});
    rows.push_back({"one exchange, wall clock",
                    bench::fixed(per_wall_us, 2) + " us (" + std::to_string(counted) +
                        " exchanges counted by the kit)",
                    ""});
    rows.push_back({"one exchange at USB pace (kit: timing usb), wall clock",
                    bench::fixed(u.wall_s() * 1e3 / usb_exchanges, 3) + " ms (" +
                        std::to_string(usb_exchanges) + " exchanges)",
                    "< 4 ms"});
}

// ---- The window ---------------------------------------------------------

void process_for(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// VIOSYS, NRST and NSLP ticked as a user does, the bucks given time to
// start, then "Poll Status" ticked.
bool power_and_poll(MainWindow &window) {
    Ui::MainWindow &ui = *window.form();
    for (QCheckBox *pin : {ui.io0022, ui.io0023, ui.io0024})
        if (!pin->isChecked())
            pin->click();
    process_for(300);
    ui.pollstatus->click();
    process_for(200);
    return window.session().connection_state() == evalpanel::kConnected &&
           window.session().poll_timer()->isActive();
}

void bench_poll_tick(MainWindow &window, const Sizes &n, std::vector<Row> &rows) {
    // The poll timer would add ticks of its own while the loop below lets
    // events through; the ticks here are the only ones.
    window.session().poll_timer()->stop();
    for (int i = 0; i < 20; ++i)
        window.timer_func();
    bench::Stopwatch w;
    for (int i = 0; i < n.ticks; ++i)
        window.timer_func();
    w.stop();
    rows.push_back({"status poll tick (timer_func incl. update_display), CPU",
                    bench::fixed(w.cpu_s() * 1e3 / n.ticks, 3) + " ms", "< 1.5 ms"});

    // The same with the repaint of what changed, as the event loop does
    // after each tick.
    bench::Stopwatch p;
    for (int i = 0; i < n.ticks; ++i) {
        window.timer_func();
        QCoreApplication::processEvents();
    }
    p.stop();
    rows.push_back({"status poll tick and its repaint (offscreen), CPU",
                    bench::fixed(p.cpu_s() * 1e3 / n.ticks, 3) + " ms", ""});

    // The same with the telemetry window open, its plots full: the samples
    // are stamped 150 ms apart as at the poll timer's pace, so the plots
    // hold what two minutes of polling leave in view.
    auto &bench_state = evalpanel::Workbench::of(window.session());
    int64_t fake_ms = 0;
    bench_state.set_clock([&fake_ms] { return fake_ms += evalpanel::kPollIntervalMs; });
    TelemetryWindow *telemetry = window.workbench_windows().telemetry;
    telemetry->show();
    const int fill = static_cast<int>(TelemetryWindow::kSpanSeconds * 1000 / evalpanel::kPollIntervalMs);
    for (int i = 0; i < fill; ++i)
        window.timer_func();
    QCoreApplication::processEvents();
    bench::Stopwatch t;
    for (int i = 0; i < n.ticks; ++i) {
        window.timer_func();
        QCoreApplication::processEvents();
    }
    t.stop();
    rows.push_back({"status poll tick and its repaint, telemetry window open, CPU",
                    bench::fixed(t.cpu_s() * 1e3 / n.ticks, 3) + " ms", "< 2 ms"});
    telemetry->hide();
    bench_state.set_clock([] { return QDateTime::currentMSecsSinceEpoch(); });
    // At the pace of a real adapter the tick waits for its exchanges.
    const int usb_ticks = std::max(1, n.ticks / 10);
    kit_control("timing usb", nullptr, 0);
    bench::Stopwatch u;
    for (int i = 0; i < usb_ticks; ++i)
        window.timer_func();
    u.stop();
    kit_control("timing instant", nullptr, 0);
    rows.push_back({"status poll tick at USB pace (kit: timing usb), wall clock",
                    bench::fixed(u.wall_s() * 1e3 / usb_ticks, 3) + " ms", "< 150 ms"});
    window.session().poll_timer()->start(evalpanel::kPollIntervalMs);
}

// A script of register-field writes: output voltages, ramps, start-up
// delays and current limits of all six bucks, each with its own range.
std::string write_field_script(const char *name, int lines) {
    struct Field {
        const char *prefix;
        int limit;
    };
    static const Field fields[] = {
        {"VSET_B", 128}, {"RAMP_B", 16}, {"DELAY_B", 256}, {"OC_LEV_B", 4}};
    FILE *f = std::fopen(name, "w");
    if (f == nullptr)
        return {};
    for (int i = 0; i < lines; ++i) {
        const Field &field = fields[i % 4];
        std::fprintf(f, "%s%d = 0x%X\n", field.prefix, (i / 4) % 6, (i * 7) % field.limit);
    }
    std::fclose(f);
    return name;
}

void bench_script(MainWindow &window, const Sizes &n, std::vector<Row> &rows) {
    const std::string file = write_field_script("fieldwrites.txt", n.script_lines);
    if (file.empty()) {
        rows.push_back({"console: script of field writes", "failed: cannot write the script", ""});
        return;
    }
    const long long before = kit_exchanges();
    bench::Stopwatch w;
    const int ran = window.command_console().scripts().run_script(file.c_str());
    w.stop();
    const long long counted = kit_exchanges() - before;
    rows.push_back(
        {"console: " + std::to_string(n.script_lines) + " field writes through run_script",
         ran == 1 ? bench::fixed(n.script_lines / w.wall_s(), 0) + " lines/s (CPU " +
                        bench::fixed(w.cpu_s() * 1e6 / n.script_lines, 0) + " us/line, " +
                        std::to_string(counted) + " exchanges)"
                  : std::string("failed: the script did not run"),
         ">= 5000 lines/s"});
}

void bench_i2c_test(MainWindow &window, std::vector<Row> &rows) {
    bench::Stopwatch w;
    window.command_console().interpreter().parse_cmd("i2c_test");
    w.stop();
    const QString text = window.form()->plainTextEdit->toPlainText();
    const bool passed = text.contains(QStringLiteral("0 errors in"));
    rows.push_back({"console: i2c_test (15360 write/read pairs)",
                    bench::fixed(w.wall_s(), 2) + " s" + (passed ? "" : " (errors reported)") +
                        " (CPU " + bench::fixed(w.cpu_s(), 2) + " s)",
                    ""});
}

// ---- Console relay ----------------------------------------------------------

// A client on its own thread, doing what programs do, while the window's
// event loop runs here.
class RelayClient {
  public:
    explicit RelayClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    }
    ~RelayClient() { ::close(fd_); }
    bool ok() const { return ok_; }
    void send(const std::string &bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }
    // Reads until `token` has arrived (or 30 s pass); seconds it took.
    double wait_for(const std::string &token) {
        QElapsedTimer t;
        t.start();
        const timeval limit{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        while (received_.find(token) == std::string::npos && t.elapsed() < 30000) {
            // Only the tail that could hold the start of the token is kept.
            if (received_.size() > token.size())
                received_.erase(0, received_.size() - token.size());
            char buffer[65536];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0)
                received_.append(buffer, static_cast<size_t>(n));
        }
        const size_t at = received_.find(token);
        if (at == std::string::npos)
            return -1;
        received_.erase(0, at + token.size());
        return t.nsecsElapsed() / 1e9;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::string received_;
};

long resident_kib() {
    FILE *f = std::fopen("/proc/self/status", "r");
    long kib = -1;
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    if (f != nullptr)
        std::fclose(f);
    return kib;
}

// Runs `client` on its own thread while the event loop turns here. Returns
// the event loop's longest delay in milliseconds: the longest gap between
// two expiries of a 1 ms timer, nested event loops of running commands
// included.
template <typename Client> double serve_while(Client client) {
    std::atomic<bool> done{false};
    double longest = 0;
    QElapsedTimer since;
    since.start();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, since.nsecsElapsed() / 1e6);
        since.restart();
    });
    tick.start(1);
    std::thread thread([&] {
        client();
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    thread.join();
    return longest;
}

void bench_relay(MainWindow &window, const Sizes &n, std::vector<Row> &rows) {
    if (!window.relay().listen(0)) {
        rows.push_back({"console relay", "failed: no port", ""});
        return;
    }
    const uint16_t port = window.relay().server()->serverPort();
    std::FILE *f = std::fopen("slow.txt", "w");
    std::fputs("echo first\nwait(3000)\n", f);
    std::fclose(f);
    f = std::fopen("chatty.txt", "w");
    std::fputs("for i=0:1:1000000\nhelp -qv\nend\n", f);
    std::fclose(f);

    const int lines = n.script_lines;
    double burst_s = -1, first_s = -1, stop_s = -1;
    long grown_kib = -1;
    const double burst_delay = serve_while([&] {
        RelayClient c(port);
        std::string burst;
        for (int i = 0; i < lines; ++i)
            burst += "VSET_B0 = 0x20\n";
        c.send(burst + "echo burst\n");
        burst_s = c.wait_for("burst\n");
    });
    serve_while([&] {
        RelayClient c(port);
        c.send("slow.txt\n");
        first_s = c.wait_for("first\n");
        c.send("\x03");
        c.wait_for("Stopped.\n");
        c.send("chatty.txt\n");
        c.wait_for("Commands :");
        QThread::msleep(300);
        c.send("\x03");
        stop_s = c.wait_for("Stopped.\n");
    });
    rows.push_back({"relay: longest event-loop delay during a " + std::to_string(lines) +
                        "-line burst",
                    bench::fixed(burst_delay, 1) + " ms (burst done in " +
                        bench::fixed(burst_s, 2) + " s)",
                    "< 100 ms"});
    rows.push_back({"relay: first line of a running script's output", bench::fixed(first_s * 1e3, 1) + " ms",
                    "< 100 ms"});
    rows.push_back({"relay: from 0x03 to Stopped. during a long loop",
                    bench::fixed(stop_s * 1e3, 1) + " ms", "< 100 ms"});

    // A client that never reads while a loop prints without end.
    const long before = resident_kib();
    serve_while([&] {
        RelayClient c(port);
        c.send("chatty.txt\n");
        QThread::msleep(n.script_lines >= 10000 ? 10000 : 1000);
        grown_kib = resident_kib() - before;
        // Stopped, and read to the end: closing with output unread would
        // reset the connection before the stop byte is read.
        c.send("\x03");
        c.wait_for("Stopped.\n");
    });
    rows.push_back({"relay: memory growth with a client that never reads (chatty loop)",
                    std::to_string(grown_kib) + " KiB", "flat (about 1 MiB)"});
}

// ---- Start-up -------------------------------------------------------------

void bench_startup(const std::string &workdir, const Sizes &n, std::vector<Row> &rows) {
    std::vector<double> listen, ready;
    long peak = 0;
    for (int i = 0; i < n.startups; ++i) {
        const bench::StartupFigures f =
            bench::measure_startup(EVALPANEL_VIRTUAL_PATH, workdir, 500);
        if (!f.ok) {
            rows.push_back({"start-up of evalpanel-virtual", "failed: " + f.error, ""});
            return;
        }
        listen.push_back(f.listen_ms);
        ready.push_back(f.ready_ms);
        peak = std::max(peak, f.peak_rss_kib);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    rows.push_back({"start-up of evalpanel-virtual to the first shown window (median of " +
                        std::to_string(n.startups) + ")",
                    bench::fixed(median(ready), 0) + " ms (console port open at " +
                        bench::fixed(median(listen), 0) + " ms)",
                    ""});
    rows.push_back({"peak memory of evalpanel-virtual after start-up (VmHWM)",
                    bench::fixed(static_cast<double>(peak) / 1024.0, 1) + " MiB", ""});
}

void print_table(const std::vector<Row> &rows) {
    std::printf("Machine: %s\n\n", bench::machine_description().c_str());
    std::printf("| Measure | Result | Goal |\n|---|---|---|\n");
    for (const Row &r : rows)
        std::printf("| %s | %s | %s |\n", r.what.c_str(), r.result.c_str(), r.goal.c_str());
}

} // namespace

int main(int argc, char **argv) {
    Sizes n;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            n = {500, 50, 200, 1};
        } else {
            std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Script files are looked up in the working folder; the program starts
    // in an empty one, without firmware image or scripts.
    QTemporaryDir workdir;
    if (!workdir.isValid() || !QDir::setCurrent(workdir.path())) {
        std::fprintf(stderr, "bench: no temporary folder\n");
        return 1;
    }

    std::vector<Row> rows;
    // First, while no kit runs in this process and the ports are free.
    bench_startup(workdir.path().toStdString(), n, rows);
    bench_exchange(n, rows);
    {
        evalpanel::DeviceSession session;
        MainWindow window(session, 0);
        window.show();
        if (!power_and_poll(window)) {
            rows.push_back({"window on the powered kit", "failed: the kit did not come up", ""});
        } else {
            bench_poll_tick(window, n, rows);
            bench_script(window, n, rows);
            bench_i2c_test(window, rows);
            bench_relay(window, n, rows);
        }
        session.poll_timer()->stop();
    }
    print_table(rows);
    std::fflush(stdout);
    // A measurement that could not be taken fails the run (the suite's smoke
    // check relies on it); the figures themselves are never judged.
    const bool failed = std::any_of(rows.begin(), rows.end(), [](const Row &r) {
        return r.result.compare(0, 6, "failed") == 0;
    });
    return failed ? 1 : 0;
}
