// The C entry point of the kit's control language.
#include "kit_control.h"

#include "virtual_port.h"

#include <algorithm>
#include <cstring>
#include <string>

extern "C" KIT_CONTROL_API int kit_control(const char *line, char *reply, size_t size) {
    const std::string answer =
        line ? virtualkit::process_kit()->control(line) : std::string("error: no command\n");
    if (reply && size > 0) {
        const std::string fitted = virtualkit::fit_answer(answer, size);
        std::memcpy(reply, fitted.c_str(), fitted.size() + 1);
    }
    const bool ok = answer == "ok\n" ||
                    (answer.size() > 4 && answer.compare(answer.size() - 4, 4, "\nok\n") == 0);
    return ok ? 0 : -1;
}

extern "C" KIT_CONTROL_API int kit_listen(char *reason, size_t size) {
    const auto port = virtualkit::control_port_setting();
    if (!port)
        return 0;
    auto kit = virtualkit::process_kit();
    if (kit->start_control_port(*port))
        return kit->control_port();
    if (reason && size > 0) {
        const std::string text =
            "127.0.0.1:" + std::to_string(*port) + ": " + kit->control_port_error();
        const size_t n = std::min(text.size(), size - 1);
        std::memcpy(reason, text.data(), n);
        reason[n] = '\0';
    }
    return -1;
}
