// The HID port's framing rows, shared by the harness of every platform's
// port (hidraw over a socket pair, Windows HID over a named pipe): what the
// fake adapter answers, what waits before the request, and what the link
// must then see. Replies are written as hidraw delivers unnumbered reports
// (the bare payload); a harness whose device puts the report ID in front
// adds it.
#pragma once

#include "link.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace bridgeio::hid_rows {

using Bytes = std::vector<uint8_t>;
using Reports = std::vector<Bytes>;
using Answer = std::function<Reports(const Bytes &request)>;

// An unnumbered adapter's reply: the request's command word and byte 4 (a
// marker) echoed.
inline Bytes reply_to(const Bytes &request, size_t size = kPayloadSize) {
    Bytes r(size, 0xEE);
    std::memcpy(r.data(), request.data() + 1, std::min<size_t>(5, size));
    return r;
}
inline Reports echo(const Bytes &r) { return {reply_to(r)}; }
inline Reports silent(const Bytes &) { return {}; }

struct RowLayout {
    bool numbered = false;
    uint8_t input_id = 0;
    uint8_t output_id = 0;
};

struct FramingRow {
    const char *name;
    RowLayout layout;
    Answer answer;
    Reports waiting;    // already there before the request
    uint8_t request_id; // byte 0 of the request on the wire
    size_t zero_from;   // obuffer is 0 from here on (short reply)
};

inline const FramingRow kFraming[] = {
    {"Unnumbered", {}, echo, {}, 0, 64},
    {"NumberedTakesItsIdsAndSkipsOtherReports", {true, 2, 3},
     [](const Bytes &r) {
         Bytes mine = reply_to(r), other(65, 0x55);
         mine.insert(mine.begin(), 2);
         other[0] = 9;
         return Reports{other, mine};
     },
     {}, 3, 64},
    {"ShortReplyLeavesNoRequestBytesBehind", {}, [](const Bytes &r) { return Reports{reply_to(r, 5)}; },
     {}, 0, 5},
    {"StaleReportsBeforeTheRequestAreDropped", {}, echo,
     {Bytes(64, 0x01), Bytes(64, 0x02), Bytes(3, 0x03)}, 0, 64},
    {"BurstTakesTheFirstReportOnly", {},
     [](const Bytes &r) {
         Bytes late = reply_to(r);
         late[4] = 0x66;
         return Reports{reply_to(r), late, late};
     },
     {}, 0, 64},
};

// One exchange with `marker` in byte 4; the reply's marker, or -1.
inline int exchange(BridgeHandle h, uint8_t marker) {
    begin_command(cmd::kScanTest);
    obuffer[4] = marker;
    return rd2(h) == 0 ? obuffer[4] : -1;
}

} // namespace bridgeio::hid_rows
