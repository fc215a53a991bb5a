// Byte strings written as hex text in tests: "59 0A 08".
#pragma once

#include <sstream>
#include <string>

#include "phone/Unit1.h"

inline Bytes Hex(const std::string& text) {
  std::istringstream in(text);
  Bytes bytes;
  std::string pair;
  while (in >> pair) bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
  return bytes;
}
