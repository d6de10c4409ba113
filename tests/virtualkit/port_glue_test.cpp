// The virtual kit behind the adapter library's port interface: opening by
// identity, report framing, the C control entry point and the control port
// that the first opening starts.
#include "bridgeio.h"
#include "kit_control.h"
#include "port/port.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using bridgeio::open_hid_port;

std::string control(const char *line, int *result = nullptr) {
    char reply[4096];
    const int r = kit_control(line, reply, sizeof reply);
    if (result)
        *result = r;
    return reply;
}

class PortGlue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(control("reset"), "ok\n");
        ASSERT_EQ(control("clock manual"), "ok\n");
    }
};

TEST_F(PortGlue, OpensOnlyThePluggedAdapterWithItsIdentity) {
    EXPECT_EQ(open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID + 1), nullptr);
    EXPECT_EQ(open_hid_port(BRIDGEIO_VENDOR_ID + 1, BRIDGEIO_PRODUCT_ID), nullptr);
    auto port = open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->transport(), bridgeio::Transport::Hid);
    control("unplug");
    EXPECT_EQ(open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), nullptr);
    uint8_t frame[65] = {};
    EXPECT_EQ(port->write(frame, sizeof frame, 200), bridgeio::kPortIoError);
    size_t got = 99;
    EXPECT_EQ(port->read(frame, sizeof frame, 0, &got), bridgeio::kPortIoError);
    EXPECT_EQ(got, 0u);
    control("plug");
    EXPECT_NE(open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), nullptr);
}

TEST_F(PortGlue, ReportsAreFramedWithReportIdZero) {
    auto port = open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    ASSERT_NE(port, nullptr);
    uint8_t frame[65] = {0, 0xA7}; // scan test: the payload comes back
    for (int i = 5; i < 65; ++i)
        frame[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(port->write(frame, 64, 200), bridgeio::kPortIoError);
    frame[0] = 1;
    EXPECT_EQ(port->write(frame, 65, 200), bridgeio::kPortIoError);
    frame[0] = 0;
    ASSERT_EQ(port->write(frame, 65, 200), bridgeio::kPortOk);
    uint8_t in[65];
    std::memset(in, 0xEE, sizeof in);
    size_t got = 0;
    ASSERT_EQ(port->read(in, sizeof in, 1000, &got), bridgeio::kPortOk);
    EXPECT_EQ(got, 65u);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0); // status word 0
    for (int i = 5; i < 65; ++i)
        EXPECT_EQ(in[i], i);
    EXPECT_EQ(port->read(in, sizeof in, 0, &got), bridgeio::kPortTimeout);
}

TEST(KitControl, ReturnsTheOutcomeAndFitsTheBuffer) {
    int r = 0;
    EXPECT_EQ(control("identity", &r), "0x1209 0x5120\nok\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(control("no such thing", &r).rfind("error: ", 0), 0u);
    EXPECT_EQ(r, -1);
    char small[12];
    EXPECT_EQ(kit_control("help", small, sizeof small), 0);
    EXPECT_STREQ(small, "...\nok\n");
    EXPECT_EQ(kit_control("help", nullptr, 0), 0);
    EXPECT_EQ(kit_control(nullptr, small, sizeof small), -1);
    EXPECT_STREQ(small, "error: no c"); // no room for a whole line
}

// The port is a fixed one: another program on the machine may hold it, and
// then the kit runs without it.
TEST_F(PortGlue, FirstOpeningStartsTheControlPort) {
    ASSERT_NE(open_hid_port(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), nullptr);
    const std::string state = control("port");
    if (state.rfind("not listening", 0) == 0)
        GTEST_SKIP() << "127.0.0.1:23457 is taken: " << state;
    ASSERT_EQ(state, "listening on 127.0.0.1:23457\nok\n");
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(23457);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const char line[] = "pin B 7 1\n";
    ASSERT_EQ(::send(fd, line, sizeof line - 1, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof line - 1));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char buf[64] = {};
    EXPECT_EQ(::recv(fd, buf, sizeof buf - 1, 0), 3);
    EXPECT_STREQ(buf, "ok\n");
    ::close(fd);
    EXPECT_EQ(control("pin 1 7"), "1\nok\n"); // the same kit on both ways in
}

} // namespace
