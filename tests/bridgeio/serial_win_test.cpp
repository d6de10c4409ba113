// The COM port under wine: a pseudo-terminal mapped as BRIDGEIO_TEST_COM,
// with wine_com_peer.py playing the adapter on its other side.
#include "link.h"
#include "port/serial.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <vector>

#include <chrono>
#include <cstdlib>
#include <string>

using namespace bridgeio;
using Clock = std::chrono::steady_clock;

namespace {

const char *com_port() {
    const char *p = std::getenv("BRIDGEIO_TEST_COM");
    return p && *p ? p : nullptr;
}

int exchange(BridgeHandle h, uint8_t marker) {
    begin_command(cmd::kScanTest);
    obuffer[4] = marker;
    return rd2(h) == 0 ? obuffer[4] : -1;
}

TEST(WinSerial, OpensExchangesAndTimesOut) {
    if (!com_port())
        GTEST_SKIP() << "run through wine_com_peer.py";
    std::FILE *out = std::tmpfile();
    ASSERT_TRUE(out);
    const BridgeHandle h = bt_open(com_port(), nullptr, out);
    ASSERT_NE(h, BRIDGEIO_INVALID_HANDLE);
    std::rewind(out);
    char text[256] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, n), std::string("Trying ") + com_port() + "\n"); // settings held

    EXPECT_EQ(exchange(h, 7), 7);
    EXPECT_EQ(obuffer[0], cmd::kScanTest);
    // A read with nothing coming ends on time; the link goes on afterwards.
    Port *port = link_port(h);
    ASSERT_TRUE(port);
    uint8_t reply[64];
    size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port->read(reply, sizeof reply, 300, &got), kPortTimeout);
    const auto waited = (Clock::now() - start) / std::chrono::milliseconds(1);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 600);
    EXPECT_EQ(exchange(h, 8), 8);
    // Reopening the port the link holds shares it (a COM port opens once).
    const BridgeHandle again = bt_open(com_port(), nullptr, stdout);
    ASSERT_NE(again, BRIDGEIO_INVALID_HANDLE);
    EXPECT_EQ(exchange(again, 9), 9);
    link_close(); // restores the port's settings
}

TEST(WinSerial, RegistryListsTheHighestConsecutiveBluetoothPort) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    struct Row {
        std::vector<int> ports;
        const char *chosen;
        int lines;
    };
    for (const Row &row : {Row{{0, 1, 2}, "COM12", 3}, Row{{0, 2}, "COM10", 1}, Row{{1}, "", 0}}) {
        for (int i = 0; i < 3; ++i) {
            const std::string name = "\\Device\\BTPort" + std::to_string(i);
            ::RegDeleteValueA(key, name.c_str());
            const std::string port = "COM" + std::to_string(10 + i);
            if (std::find(row.ports.begin(), row.ports.end(), i) != row.ports.end())
                ::RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(port.c_str()),
                                 static_cast<DWORD>(port.size() + 1));
        }
        std::FILE *out = std::tmpfile();
        char path[64] = {};
        EXPECT_EQ(scan_rfcomm_ports(nullptr, path, sizeof path, out), row.lines > 0);
        EXPECT_STREQ(path, row.chosen);
        std::rewind(out);
        int lines = 0;
        for (char line[128]; std::fgets(line, sizeof line, out);)
            lines += std::string(line).rfind("Found \\Device\\BTPort", 0) == 0;
        std::fclose(out);
        EXPECT_EQ(lines, row.lines);
    }
    for (int i = 0; i < 3; ++i)
        ::RegDeleteValueA(key, ("\\Device\\BTPort" + std::to_string(i)).c_str());
    ::RegCloseKey(key);
}

} // namespace
