// State of the open link, shared by the files that implement the link.
#pragma once

#include "link.h"

#include <cstdint>
#include <memory>

namespace bridgeio {

struct LinkState {
    std::unique_ptr<Port> port;
    Transport transport = Transport::Hid;
    uintptr_t token = 0;

    // The adapter a HID link was opened on, for finding it again when it
    // re-enumerates; `identified` is false for every other link.
    bool identified = false;
    HidAdapter adapter;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;

    // The asynchronous read armed by rd_async. Its report is gathered here
    // (a serial report may arrive over several waits) and moved to obuffer2
    // only when complete, so requests written meanwhile cannot mix into it.
    bool async_armed = false;
    size_t async_got = 0;
    uint8_t async_frame[kFrameSize] = {};
};

LinkState &link_state();

// Gives the armed asynchronous read up to `wait_ms` to receive its report.
// When the report is complete it is placed in obuffer2 and
// rd_async_callback runs. kPortOk when it completed or nothing was armed;
// kPortTimeout when it is still waiting; kPortIoError when the port failed
// (the read is dropped without a callback).
int complete_async(Port &port, int wait_ms);

} // namespace bridgeio
