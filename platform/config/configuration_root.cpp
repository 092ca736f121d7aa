#include "platform/config/configuration_root.h"

#include "platform/util/env.h"

std::string ConfigurationRoot() {
    return Env::Current()->ConfigurationRoot();
}
