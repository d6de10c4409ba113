/*
 * Control entry point of the virtual kit, exported by libbridgeio-virtual
 * only (next to the adapter library's own functions).
 *
 * kit_control runs one line of the kit's control language, the same that the
 * kit serves on 127.0.0.1:23457 once the adapter has been opened: "help"
 * lists the commands. The answer is zero or more lines and then a line "ok"
 * or "error: <reason>", each ending in a newline. It is copied into `reply`
 * (at most size - 1 bytes and a terminating zero; whole lines, "...", then
 * the closing line when it does not fit). `reply` may be null when `size`
 * is 0. Returns 0 when the answer ends in "ok", -1 when it ends in an error.
 * Safe to call from any thread.
 */
#ifndef KIT_CONTROL_H
#define KIT_CONTROL_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(KIT_CONTROL_BUILD)
#define KIT_CONTROL_API
#else
#define KIT_CONTROL_API __declspec(dllimport)
#endif
#elif defined(KIT_CONTROL_BUILD)
#define KIT_CONTROL_API __attribute__((visibility("default")))
#else
#define KIT_CONTROL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

KIT_CONTROL_API int kit_control(const char *line, char *reply, size_t size);

/*
 * Starts serving the control port now rather than when the adapter is first
 * looked for: on the port BRIDGEIO_KIT_PORT names (23457 when unset; 0 or a
 * text that is no port number: none). Returns the port listened on, 0 when
 * no port is wanted, or -1 when the port cannot be had, with the reason
 * copied into `reason` (at most size - 1 bytes and a terminating zero;
 * `reason` may be null when `size` is 0). Only the first attempt binds;
 * later calls report its outcome.
 */
KIT_CONTROL_API int kit_listen(char *reason, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* KIT_CONTROL_H */
