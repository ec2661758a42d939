#include "serial/device_group.h"

// A COM port has no group: a refusal there is another program's open.
std::string device_group(const std::string&) { return {}; }
