// Any bytes from a network client through the relay into the line editor and the
// interpreter on the virtual kit. Besides crashes: the relay's input and output and
// the keys waiting in the editor must stay within their limits at every turn.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include "console/console.h"
#include "console/console_engine.h"
#include "console/relay.h"
#include "kit_session.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    // The bus test takes seconds per run: not here.
    if (size > 64 * 1024 || input.find("i2c_test") != std::string::npos)
        return -1;
    fuzzkit::NullDocument document;
    fuzzkit::KitSession kit;
    // The engine on this thread: a line runs when typed, its output goes out next turn.
    console::ConsoleEngine engine(kit.session, kit.workbench);
    console::Console console(engine, document);
    console::Relay relay(console);
    relay.set_allow_any_user(true);
    if (!relay.listen(0))
        fuzzkit::fail("the relay did not listen");

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(relay.server()->serverPort()), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        fuzzkit::fail("no connection to the relay");
    size_t sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        if (sent < size) {
            const ssize_t n = ::send(client, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
        }
        QCoreApplication::processEvents();
        char sink[4096];
        while (::recv(client, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        if (relay.waiting_input() > console::Relay::kMaxInput ||
            relay.waiting_output() > console::Relay::kMaxOutput + 256 ||
            console.editor().pending_keys() > static_cast<size_t>(console::Relay::kChunk))
            fuzzkit::fail("a bound broken (relay input, relay output or keys in the editor)");
        if (sent == size && relay.waiting_input() == 0 && !console.busy())
            break;
    }
    // Closed with a reset, not a FIN: thousands of runs a minute would
    // otherwise leave as many ports in TIME_WAIT and run out of them.
    const linger reset{1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(client);
    return 0;
}
