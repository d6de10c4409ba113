// The system's number of the calling thread (as tools that list threads show it).
#pragma once

namespace support {

long current_thread_id();

} // namespace support
