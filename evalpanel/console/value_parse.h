// The console's value syntax lives with the register map, where the
// configuration files read values too.
#pragma once

#include "registers/value_parse.h"

namespace console {
using evalpanel::get_val;
} // namespace console
