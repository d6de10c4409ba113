// The simulated kit's control port, as the program's start-up sees it. The
// program on real hardware has no kit: its version of claim_kit_port wants
// no port. Which version a program has is chosen when it is linked.
#pragma once

#include <QString>

namespace evalpanel {

// Takes the kit's control port now (the one BRIDGEIO_KIT_PORT names), so
// that a taken port stops the program at start-up instead of leaving it
// without one. The port taken, 0 when none is wanted, or -1 with the
// reason in *error.
int claim_kit_port(QString *error);

} // namespace evalpanel
