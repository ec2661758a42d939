// The system's words for an error number, lower case, as every reason line
// of the tools is written ("no such file or directory").
#pragma once

#include <string>

std::string system_words(int number);
