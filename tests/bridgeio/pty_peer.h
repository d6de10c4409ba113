// A pseudo-terminal as the serial adapter; the test plays it on the master side.
#pragma once

#include "recording_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <string>
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
} // namespace bridgeio::test
