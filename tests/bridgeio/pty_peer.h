// A pseudo-terminal as the serial adapter; the test plays it on the master side.
#pragma once

#include "recording_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace bridgeio::test {

// Messages printed while opening go to a temporary file.
struct Output {
    std::FILE *f = std::tmpfile();
    ~Output() { std::fclose(f); }
    std::FILE *file() const { return f; }
    std::string text() const {
        std::string s(static_cast<size_t>(std::ftell(f)), '\0');
        std::rewind(f);
        s.resize(std::fread(s.data(), 1, s.size(), f));
        return s;
    }
};

class Pty {
    using Clock = std::chrono::steady_clock;

  public:
    Pty() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            return;
        char name[128];
        if (ttyname_r(slave_, name, sizeof name) == 0)
            name_ = name;
    }
    ~Pty() {
        close_master();
        close_slave();
    }
    void close_master() { shut(master_); }
    void close_slave() { shut(slave_); }
    bool ok() const { return !name_.empty(); }
    const std::string &name() const { return name_; }
    int slave() const { return slave_; }

    // Up to n bytes, as many as come within timeout_ms.
    Bytes read_master(size_t n, int timeout_ms) const {
        Bytes b;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        uint8_t buf[256];
        while (b.size() < n) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{master_, POLLIN, 0};
            const ssize_t got = left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0
                                    ? read(master_, buf, std::min(sizeof buf, n - b.size()))
                                    : 0;
            if (got <= 0)
                break;
            b.insert(b.end(), buf, buf + got);
        }
        return b;
    }
    void stall(bool on) const { tcflow(slave_, on ? TCOOFF : TCOON); }
    void write_master(const Bytes &b) const {
        ASSERT_EQ(write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

  private:
    static void shut(int &fd) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int master_ = -1, slave_ = -1;
    std::string name_;
};
// Runs `check` as an unprivileged user (nobody), in a child process, for what
// root is exempt from; it returns "" when all is well, else what went wrong.
// Skips when privileges cannot be dropped.
inline void run_unprivileged(const std::function<std::string()> &check) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(out[0]);
        const uid_t nobody = 65534;
        std::string r;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                               setresuid(nobody, nobody, nobody) != 0))
            r = "skip";
        else
            r = check();
        (void)!write(out[1], r.data(), r.size());
        _exit(0);
    }
    close(out[1]);
    std::string r;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        r.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged run crashed";
    if (r == "skip")
        GTEST_SKIP() << "cannot drop privileges to run this as an unprivileged user";
    EXPECT_EQ(r, "");
}

} // namespace bridgeio::test
