// The serial transport for real, against a pseudo-terminal peer, and the
// opening of serial links (named, scanned, failing).
#include "link.h"
#include "port/serial.h"
#include "pty_peer.h"
#include "recording_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace bridgeio;
using namespace bridgeio::test;
using Clock = std::chrono::steady_clock;

namespace {

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
        // Left at 7E2 by another tool: the link must not keep that.
        termios tio{};
        ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
        ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &tio), 0);
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
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
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

// Bluetooth serial ports are taken from rfcomm0 up to the first gap; the
// highest of them is opened.
TEST(SerialOpen, ScanTakesTheHighestOfTheConsecutivePorts) {
    TempDir dir;
    for (const char *node : {"rfcomm0", "rfcomm1", "rfcomm3"})
        dir.add(node);
    Output out;
    char path[1024] = "untouched";
    EXPECT_TRUE(scan_rfcomm_ports(dir.path.c_str(), path, sizeof path, out.file()));
    EXPECT_EQ(out.text(), "Found rfcomm0 " + dir.path + "/rfcomm0\nFound rfcomm1 " + dir.path +
                              "/rfcomm1\n");
    EXPECT_EQ(std::string(path), dir.path + "/rfcomm1");
}

// Run as nobody (root ignores TIOCEXCL): the link reopens the port it holds,
// others stay out, and closing gives the terminal back as it was.
TEST(SerialOpen, ExclusiveWhileHeldAndGivenBackAsItWas) {
    if (geteuid() == 0) {
        char self[1024] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        const int rc = std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                    std::string(self) +
                                    " --gtest_filter=SerialOpen.ExclusiveWhileHeldAndGivenBackAsItWas")
                                       .c_str());
        if (rc == 126 << 8 || rc == 127 << 8) // no setpriv, or nobody may not run this binary
            GTEST_SKIP() << "cannot run this as an unprivileged user";
        EXPECT_EQ(rc, 0);
        return;
    }
    Pty pty;
    Output quiet;
    termios before{}, after{};
    tcgetattr(pty.slave(), &before);
    EXPECT_NE(bt_open(pty.name().c_str(), nullptr, quiet.file()), BRIDGEIO_INVALID_HANDLE);
    EXPECT_NE(bt_open(pty.name().c_str(), nullptr, quiet.file()), BRIDGEIO_INVALID_HANDLE);
    EXPECT_LT(::open(pty.name().c_str(), O_RDWR | O_NOCTTY), 0);
    link_close();
    EXPECT_GE(::open(pty.name().c_str(), O_RDWR | O_NOCTTY), 0);
    tcgetattr(pty.slave(), &after);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// What is no terminal is refused; the advice follows the node type.
TEST(SerialOpen, FailuresAreReported) {
    Output out;
    EXPECT_EQ(bt_open("/nonexistent/rfcomm7", nullptr, out.file()), BRIDGEIO_INVALID_HANDLE);
    EXPECT_EQ(bt_open("/dev/null", nullptr, out.file()), BRIDGEIO_INVALID_HANDLE);
    char text[256] = {};
    EXPECT_EQ(last_open_result(text, sizeof text), -1);
    Pty pty;
    EXPECT_NE(open_failure_text(pty.name(), EACCES).find("dialout group"), std::string::npos);
}

// What BRIDGEIO_ADAPTER may name: a terminal opens as the serial link (also
// through a symbolic link); anything else is refused without a byte written.
struct SelectionRow {
    const char *name;
    const char *target; // nullptr: a saved regular file; "": a symbolic link to a terminal
    int outcome;
};

const SelectionRow kSelections[] = {{"RegularFile", nullptr, -1},
                                    {"DevNull", "/dev/null", -1},
                                    {"SymlinkToATerminal", "", 1}};

class AdapterSelection : public ::testing::TestWithParam<SelectionRow> {
  protected:
    void TearDown() override {
        ::unsetenv("BRIDGEIO_ADAPTER");
        link_close();
    }
};

TEST_P(AdapterSelection, OpensTerminalsAndRefusesTheRest) {
    const SelectionRow &row = GetParam();
    Pty pty;
    ASSERT_TRUE(pty.ok());
    char file[] = "/tmp/bridgeio-init-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "saved\n", 6), 6);
    ::close(fd);
    if (row.target && !*row.target) {
        ::unlink(file);
        ASSERT_EQ(::symlink(pty.name().c_str(), file), 0);
    }
    ::setenv("BRIDGEIO_ADAPTER", row.target && *row.target ? row.target : file, 1);

    const BridgeHandle h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    char text[256] = {};
    EXPECT_EQ(last_open_result(text, sizeof text), row.outcome);
    EXPECT_EQ(h != BRIDGEIO_INVALID_HANDLE, row.outcome == 1);
    struct stat st{};
    if (::lstat(file, &st) == 0 && S_ISREG(st.st_mode)) {
        EXPECT_EQ(st.st_size, 6) << "the file was written to";
    }
    ::unlink(file);
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterSelection, ::testing::ValuesIn(kSelections), row_name);

// Lock files of other serial tools: ten ASCII digits or a binary int.
struct LockFileRow {
    const char *name;
    std::string (*content)();
    bool held;
};

std::string ascii_pid(pid_t pid) {
    char b[16];
    std::snprintf(b, sizeof b, "%10d\n", static_cast<int>(pid));
    return b;
}
pid_t gone_pid() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// A live child whose PID's low byte is the code of a digit, so that the
// binary form starts like text.
pid_t live_pid_starting_with_a_digit() {
    for (;;) {
        const pid_t child = fork();
        if (child == 0) {
            sleep(10);
            _exit(0);
        }
        if ((child & 0xff) >= '0' && (child & 0xff) <= '9')
            return child;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}
std::string binary_pid(int pid) { return std::string(reinterpret_cast<const char *>(&pid), sizeof pid); }

const LockFileRow kLockFiles[] = {
    {"LiveProcess", [] { return ascii_pid(getppid()); }, true},
    {"LiveProcessBinary",
     [] { return binary_pid(getppid()); }, true},
    {"LiveProcessBinaryStartingWithADigit", [] { return binary_pid(live_pid_starting_with_a_digit()); }, true},
    {"ProcessGone", [] { return ascii_pid(gone_pid()); }, false},
    {"OurOwn", [] { return ascii_pid(getpid()); }, false},
    {"Garbage", [] { return std::string("none\n"); }, false},
};

class SerialLockFile : public ::testing::TestWithParam<LockFileRow> {};

TEST_P(SerialLockFile, CountsOnlyALiveOtherProcess) {
    TempDir dir;
    dir.add("LCK..ttyUSB7", GetParam().content());
    EXPECT_EQ(held_by_lock_file("/dev/ttyUSB7", {"/nonexistent", dir.path}), GetParam().held);
    EXPECT_FALSE(held_by_lock_file("/dev/ttyUSB8", {dir.path}));
}

INSTANTIATE_TEST_SUITE_P(Rows, SerialLockFile, ::testing::ValuesIn(kLockFiles), row_name);

TEST(SerialOpen, BtInitWithoutBluetoothPortsDoesNotEndTheProcess) {
    struct stat st;
    if (stat("/dev/rfcomm0", &st) == 0)
        GTEST_SKIP() << "this machine has a Bluetooth serial port";
    EXPECT_EQ(bt_init(nullptr), BRIDGEIO_INVALID_HANDLE);
}

} // namespace
