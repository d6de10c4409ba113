// The local time of day, read cheaply: the time zone is looked up once, not
// on every call as the date-time classes do.
#pragma once

namespace support {

struct TimeOfDay {
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

TimeOfDay local_time_of_day();

} // namespace support
