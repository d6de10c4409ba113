// The program on the simulated kit: the kit library serves the port.
#include "app/kit_port.h"

#include "kit_control.h"

namespace evalpanel {

int claim_kit_port(QString *error) {
    char reason[256] = {};
    const int port = kit_listen(reason, sizeof reason);
    if (port < 0 && error != nullptr)
        *error = QString::fromLocal8Bit(reason);
    return port;
}

} // namespace evalpanel
