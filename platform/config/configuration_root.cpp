#include "platform/config/configuration_root.h"

#include <stdlib.h>

std::string ConfigurationRoot() {
    const char* root = getenv("VELK_PATH");
    return root != nullptr ? root : "/etc/velk-conf/";
}
