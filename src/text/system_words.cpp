#include "text/system_words.h"

#include <cctype>
#include <cstring>

std::string system_words(int number) {
  std::string text = std::strerror(number);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
