// The C entry point of the kit's control language.
#include "kit_control.h"

#include "virtual_port.h"

#include <cstring>

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
