#include "support/local_time.h"

#include <chrono>
#include <ctime>

namespace support {

TimeOfDay local_time_of_day() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()).count() % 1000;
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return {local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis)};
}

} // namespace support
