// Scripts stored in and run by the adapter, and its two converters.
#include "link.h"

#include <cstring>

namespace bridgeio {

namespace {

constexpr uint32_t kScriptChunk = 53;
constexpr size_t kScriptResultSize = 60;

} // namespace

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API int load_script(BridgeHandle handle, const uint8_t *script, uint32_t offset,
                             uint32_t length) {
    uint32_t status = 0;
    for (uint32_t off = 0; off < length;) {
        const uint32_t n = length - off >= kScriptChunk ? kScriptChunk : length - off;
        begin_command(cmd::kScript);
        put_le32(obuffer + 4, offset + off);
        obuffer[8] = cmd::kScriptStore;
        put_le16(obuffer + 9, static_cast<uint16_t>(n));
        std::memcpy(obuffer + 11, script + off, n);
        if (rd2(handle) != 0)
            return -1;
        status = reply_status();
        off += n;
    }
    return static_cast<int>(status);
}

BRIDGEIO_API int execute_script(BridgeHandle handle, uint32_t offset, uint8_t *result) {
    begin_command(cmd::kScript);
    put_le32(obuffer + 4, offset);
    obuffer[8] = cmd::kScriptRun;
    if (rd2(handle) != 0)
        return -1;
    // The result block comes back whatever the status: the caller decides.
    if (result)
        std::memcpy(result, obuffer + 4, kScriptResultSize);
    return reply_status() == 0 ? 0 : -4;
}

BRIDGEIO_API int init_adc(BridgeHandle handle, uint32_t adc) {
    begin_command(cmd::kInitAdc);
    put_le32(obuffer + 4, adc);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int read_adc(BridgeHandle handle, uint32_t adc, uint32_t channel) {
    begin_command(cmd::kReadAdc);
    put_le32(obuffer + 4, adc);
    put_le32(obuffer + 8, channel);
    if (rd2(handle) != 0)
        return -1;
    if (reply_status() == kStatusFailed)
        return -2;
    return static_cast<int>(get_le32(obuffer + 4));
}

} // extern "C"
