// The embedded resource tree (icon and images) lives in a static library;
// calling this links it in and registers it. Safe to call more than once.
#pragma once

namespace evalpanel {

void register_resources();

} // namespace evalpanel
