// The programmer's fixed console texts, as the end-to-end tests expect them.
#pragma once

#include <string>

inline const std::string banner = "vexlor prog v1.0\n\n";
inline const std::string ok_tail = "\b\b - OK  \n";
inline const std::string error_tail = "\b\b - error\n";
inline const std::string handshake_ok = "initializing device.." + ok_tail;
inline const std::string handshake_error = "initializing device.." + error_tail;
inline const std::string done_ok = "done without errors..\n\n";
inline const std::string done_error = "done with 1 error(s)..\n\n";
