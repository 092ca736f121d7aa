// Where the device's configuration files live.
#pragma once

#include <string>

// The configuration root of Env::Current() (Env::ConfigurationRoot: VELK_PATH when it is set,
// even empty, else "/etc/velk-conf/"). File names are appended to it with no separator added.
// Read afresh at each call.
std::string ConfigurationRoot();
