#include "registers/field_units.h"

namespace evalpanel {

const char *field_unit(QStringView name) {
    if (name.startsWith(u"VSET_B"))
        return "mV";
    if (name.startsWith(u"DELAY_B"))
        return "ms";
    if (name == u"BUCK_LOAD_CURR")
        return "mA";
    return "";
}

} // namespace evalpanel
