#include "resources_init.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void init_resource_tree() {
    Q_INIT_RESOURCE(resources);
}

namespace evalpanel {

void register_resources() {
    // Registering the same tree twice is harmless; once is enough.
    static const bool done = (init_resource_tree(), true);
    (void)done;
}

} // namespace evalpanel
