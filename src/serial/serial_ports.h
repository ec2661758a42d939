// What the machine has in the way of serial ports, for the reasons a port
// did not open: the ports that are there, and who holds one that is taken.
// One implementation per platform, chosen by the build.
#pragma once

#include <string>

// The program that has `device` open, as "NAME (pid N)"; empty when that
// cannot be told.
std::string port_holder(const std::string& device);
