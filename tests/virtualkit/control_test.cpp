// The kit's control language: its answers, and its loopback port with real
// sockets.
#include "control_server.h"
#include "kit_harness.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <thread>

namespace {

using namespace kit_test;

#ifdef _WIN32
// The kit has started Winsock by the time a client connects.
using Socket = SOCKET;
constexpr int kNoSignal = 0;
inline int close_socket(Socket s) { return ::closesocket(s); }
inline int poll_socket(WSAPOLLFD *p, int ms) { return ::WSAPoll(p, 1, ms); }
using PollFd = WSAPOLLFD;
#else
using Socket = int;
constexpr int kNoSignal = MSG_NOSIGNAL;
inline int close_socket(Socket s) { return ::close(s); }
inline int poll_socket(pollfd *p, int ms) { return ::poll(p, 1, ms); }
using PollFd = pollfd;
#endif

// A client of the kit's control port on 127.0.0.1: sends text, reads whole
// answers.
class LineClient {
  public:
    explicit LineClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr); // else: "<closed>"
    }
    ~LineClient() { close_socket(fd_); }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    bool send(const std::string &s) {
        return ::send(fd_, s.data(), static_cast<int>(s.size()), kNoSignal) ==
               static_cast<int>(s.size());
    }

    // Reads up to the answer's closing line ("ok" or an error); the rest
    // waits for the next call. An answer that never closes ends in
    // "<time-out>" or "<closed>".
    std::string answer() {
        for (char buf[4096];;) {
            for (size_t start = 0, end; (end = pending_.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                if (pending_.compare(start, end + 1 - start, "ok\n") == 0 ||
                    pending_.compare(start, 7, "error: ") == 0) {
                    const std::string got = pending_.substr(0, end + 1);
                    pending_.erase(0, end + 1);
                    return got;
                }
            }
            PollFd p{fd_, POLLIN, 0};
            if (poll_socket(&p, 5000) <= 0)
                return pending_ + "<time-out>";
            const int n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return pending_ + "<closed>";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    Socket fd_;
    std::string pending_;
};

bool is_error(const std::string &a) {
    return a.rfind("error: ", 0) == 0 && a.back() == '\n' && a.find('\n') == a.size() - 1;
}

TEST_F(KitTest, BadLinesAreAnsweredWithAnError) {
    const std::string lines[] = {
        "bogus",          "reg 7 00",       "reg 0 100",        "pin 0 32",
        "pin 0 18 1",     "flag OVX on",    "load 6 10",        "load 0 99999",
        "boardtemp 200",  "multiphase 16",  "bootloader none",  "advance -1",
        "identity extra", std::string(600, 'x'), std::string("pin\x01")};
    for (const auto &line : lines)
        EXPECT_TRUE(is_error(kit->control(line))) << line;
    EXPECT_TRUE(is_error(kit->control("reg 0 18"))); // the chip is not powered
    EXPECT_EQ(kit->control(""), "ok\n");
}

TEST_F(KitTest, ResetBringsThePowerOnStateBack) {
    power_chip();
    control("latency 5");
    control("firmware none");
    control("boardtemp -20");
    control("reset");
    EXPECT_EQ(chip_read(0x18), -1); // VIOSYS low again
    EXPECT_NE(control("status").find("firmware 1.2.0"), std::string::npos);
    const std::string before = control("clock");
    exchange(Request(0xB2));
    EXPECT_EQ(control("clock"), before); // no latency left
}

TEST_F(KitTest, OnTheRealClockAReadWaitsForTheReplyOrTheCable) {
    control("clock real");
    control("latency 30");
    const Request r(0xB2);
    ASSERT_EQ(kit->write(*session, r.bytes.data()), 0);
    Report reply{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kit->read(*session, reply.data(), 5), -1);
    EXPECT_EQ(kit->read(*session, reply.data(), 1000), 0);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(29));
    EXPECT_LT(waited, std::chrono::milliseconds(900));
    EXPECT_EQ(le32(reply, 12), 0x010200u);

    // A read with nothing to come is woken when the cable is pulled.
    std::thread puller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kit->control("unplug");
    });
    EXPECT_EQ(kit->read(*session, reply.data(), 5000), -2);
    puller.join();
}

TEST(FitAnswer, KeepsTheClosingLine) {
    using virtualkit::fit_answer;
    const std::string a = "line one\nline two\nline three\nok\n";
    EXPECT_EQ(fit_answer(a, a.size() + 1), a);
    EXPECT_EQ(fit_answer(a, a.size()), "line one\nline two\n...\nok\n");
    EXPECT_EQ(fit_answer(a, 16), "...\nok\n");
    EXPECT_EQ(fit_answer(a, 4), "ok\n");
    EXPECT_EQ(fit_answer(a, 2), "l");
    EXPECT_EQ(fit_answer(a, 0), "");
    for (size_t n = 1; n < a.size() + 3; ++n)
        EXPECT_LT(fit_answer(a, n).size(), n);
}

// ---- The loopback port -------------------------------------------------------

class ControlPort : public KitTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kit->start_control_port(0));
        port = kit->control_port();
        ASSERT_NE(port, 0);
    }
    uint16_t port = 0;
};

TEST_F(ControlPort, ServesLinesOneClientAtATime) {
    {
        LineClient a(port);
        a.send("identity\r\n");
        EXPECT_EQ(a.answer(), "0x1209 0x5120\nok\n");
        a.send("frobnicate\nboardtemp -5.5\n");
        EXPECT_EQ(a.answer(), "error: unknown command 'frobnicate' (try help)\n");
        EXPECT_EQ(a.answer(), "ok\n");
        a.send(std::string(700, 'z'));
        a.send("zzz\nstatus\n");
        EXPECT_EQ(a.answer(), "error: line too long\n");
        EXPECT_NE(a.answer().find("board: -5.5000 C"), std::string::npos);

        LineClient b(port);
        const std::string refusal = b.answer();
#ifdef _WIN32
        // wine's TCP table names no owner for a second connection of one
        // process; Windows does, and then the first answer applies.
        if (refusal != "error: the kit takes commands from its own user only\n")
#endif
        {
            EXPECT_EQ(refusal, "error: another client is connected\n");
        }
        EXPECT_EQ(b.answer(), "<closed>");
    }
    // A client that follows one that has just closed is served at once,
    // also when the kit has not yet seen the previous one go.
    for (int i = 0; i < 30; ++i) {
        LineClient c(port);
        c.send("identity\n");
        ASSERT_EQ(c.answer(), "0x1209 0x5120\nok\n") << "client " << i;
    }
}

TEST_F(ControlPort, ATakenPortLeavesTheKitWithoutOne) {
    virtualkit::Kit other(kIdentity);
    EXPECT_FALSE(other.start_control_port(port));
    EXPECT_EQ(other.control_port(), 0);
    EXPECT_NE(other.control("port").find("not listening"), std::string::npos);
    EXPECT_EQ(other.control("identity"), "0x1209 0x5120\nok\n");
}

} // namespace
