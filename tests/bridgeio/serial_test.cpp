// The serial transport for real, against a pseudo-terminal peer, and the
// opening of serial links (named, scanned, failing).
#include "link.h"
#include "port/serial.h"
#include "pty_peer.h"
#include "recording_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace bridgeio;
using namespace bridgeio::test;
using Clock = std::chrono::steady_clock;

namespace {

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

// Every byte value a line discipline might act on, and more.
Bytes awkward_payload(uint32_t status) {
    Bytes p(kPayloadSize);
    const uint8_t special[] = {0x0D, 0x0A, 0x03, 0x04, 0x11, 0x13, 0x1A, 0x7F, 0xFF, 0x00};
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = special[i % sizeof special];
    put_le32(p.data(), status);
    return p;
}

class SerialPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        handle = bt_open(pty.name().c_str(), nullptr, out.file());
        ASSERT_NE(handle, BRIDGEIO_INVALID_HANDLE);
    }
    void TearDown() override { link_close(); }

    Pty pty;
    Output out;
    BridgeHandle handle = BRIDGEIO_INVALID_HANDLE;
};

TEST_F(SerialPty, OpensQuietlyWithTheLinkSettings) {
    EXPECT_EQ(out.text(), "Trying " + pty.name() + "\n");
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_iflag & (INPCK | IXON | ICRNL));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
}

TEST_F(SerialPty, ExchangeCarriesEveryByteValueBothWays) {
    Bytes request_seen;
    const Bytes answer = awkward_payload(0);
    std::thread peer([&] {
        request_seen = pty.read_master(kFrameSize, 3000);
        pty.write_master(answer);
    });
    const Bytes in = awkward_payload(0x12345678);
    uint8_t echo[64] = {};
    const int r = scantest(handle, in.data(), echo);
    peer.join();

    ASSERT_EQ(r, 0);
    ASSERT_EQ(request_seen.size(), kFrameSize);
    EXPECT_EQ(request_seen[0], 0xA5);
    EXPECT_EQ(Bytes(request_seen.begin() + 1, request_seen.begin() + 5), (Bytes{0xA7, 0, 0, 0}));
    EXPECT_EQ(Bytes(request_seen.begin() + 5, request_seen.end()), Bytes(in.begin() + 4, in.end()));
    EXPECT_EQ(Bytes(echo + 4, echo + 64), Bytes(answer.begin() + 4, answer.end()));
}

TEST_F(SerialPty, SilentPeerGetsTheSameRequestTenTimesASecondApart) {
    begin_command(0xA2);
    obuffer[4] = 1;
    const Bytes request(obuffer, obuffer + 64);
    const auto start = Clock::now();
    EXPECT_EQ(rd2(handle), -1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(9900));
    EXPECT_LT(took, std::chrono::milliseconds(12000));

    const Bytes all = pty.read_master(10 * kFrameSize + 1, 300);
    ASSERT_EQ(all.size(), 10 * kFrameSize);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(all[i * kFrameSize], 0xA5) << "request " << i;
        EXPECT_EQ(Bytes(all.begin() + i * kFrameSize + 1, all.begin() + (i + 1) * kFrameSize),
                  request)
            << "request " << i;
    }
}

TEST_F(SerialPty, HungUpLineFailsAtOnce) {
    // Only the library's descriptor is left on the slave side; closing the
    // master then hangs the line up, as an adapter that goes away would.
    pty.close_slave();
    pty.close_master();
    const auto start = Clock::now();
    begin_command(0xA2);
    EXPECT_EQ(rd2(handle), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}


struct TempDir {
    std::string path = [] { char p[] = "/tmp/bridgeio-rfcomm-XXXXXX"; return std::string(mkdtemp(p)); }();
    std::vector<std::string> files;
    ~TempDir() {
        for (const std::string &f : files)
            unlink(f.c_str());
        rmdir(path.c_str());
    }
    void add(const std::string &name) {
        files.push_back(path + "/" + name);
        std::fclose(std::fopen(files.back().c_str(), "w"));
    }
};

struct ScanCase {
    const char *name;
    std::vector<int> present;
    int chosen; // -1: nothing found
    int found_lines;
};

class RfcommScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(RfcommScan, TakesTheHighestOfTheConsecutivePorts) {
    const ScanCase &c = GetParam();
    TempDir dir;
    for (int i : c.present)
        dir.add("rfcomm" + std::to_string(i));
    Output out;
    char path[1024] = "untouched";

    const bool found = scan_rfcomm_ports(dir.path.c_str(), path, sizeof path, out.file());

    EXPECT_EQ(found, c.chosen >= 0);
    std::string expected;
    for (int i = 0; i < c.found_lines; ++i) {
        const std::string node = "rfcomm" + std::to_string(i);
        expected += "Found " + node + " " + dir.path + "/" + node + "\n";
    }
    EXPECT_EQ(out.text(), expected);
    if (c.chosen >= 0)
        EXPECT_EQ(std::string(path), dir.path + "/rfcomm" + std::to_string(c.chosen));
    else
        EXPECT_STREQ(path, "untouched");
}

INSTANTIATE_TEST_SUITE_P(Cases, RfcommScan,
                         ::testing::Values(ScanCase{"GapAfterZero", {0, 2}, 0, 1},
                                           ScanCase{"NoZero", {1, 2}, -1, 0},
                                           ScanCase{"OnlyTwentyLookedAt", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, 19, 20}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SerialOpen, PortThatCannotBeOpenedPrintsAllThreeSettingsMessages) {
    Output out;
    EXPECT_EQ(bt_open("/nonexistent/rfcomm7", nullptr, out.file()), BRIDGEIO_INVALID_HANDLE);
    EXPECT_EQ(out.text(), "Trying /nonexistent/rfcomm7\n"
                          "can't get DCB settings.\n"
                          "setting commstate failed.\n"
                          "setting commtimeouts failed.");
}

TEST(SerialOpen, BtInitWithoutBluetoothPortsDoesNotEndTheProcess) {
    struct stat st;
    if (stat("/dev/rfcomm0", &st) == 0)
        GTEST_SKIP() << "this machine has a Bluetooth serial port";
    EXPECT_EQ(bt_init(nullptr), BRIDGEIO_INVALID_HANDLE);
}

} // namespace
