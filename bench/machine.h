// One line that names the machine the figures were taken on.
#pragma once

#include <string>

namespace bench {

// "CPU model, N cores, OS (kernel)".
std::string machine_description();

} // namespace bench
