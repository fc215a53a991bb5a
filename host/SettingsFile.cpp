#include "host/SettingsFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <sstream>
#include <vector>

namespace host {

namespace {
std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

std::optional<std::string> SectionName(const std::string& line) {
  const std::string trimmed = Trimmed(line);
  if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return std::nullopt;
  return Trimmed(trimmed.substr(1, trimmed.size() - 2));
}

bool IsKeyLine(const std::string& line, const std::string& key) {
  const auto equals = line.find('=');
  return equals != std::string::npos && SameName(Trimmed(line.substr(0, equals)), key);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The rates of the port's baud-rate table, by index; index 0 is the custom rate.
constexpr std::array<int, 17> kRates = {0,    110,   300,   600,   1200,   2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000, 512000};
}  // namespace

std::string WithIniValue(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& value) {
  std::vector<std::string> lines;
  std::istringstream input(text);
  for (std::string line; std::getline(input, line);) lines.push_back(line);

  const std::string keyLine = key + "=" + value;
  bool inSection = false;
  std::optional<std::size_t> sectionEnd;  // after the section's last line: where a new key goes
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (const auto name = SectionName(lines[i])) {
      if (inSection) break;
      inSection = SameName(*name, section);
      if (inSection) sectionEnd = i + 1;
    } else if (inSection && IsKeyLine(lines[i], key)) {
      lines[i] = keyLine;
      return Joined(lines);
    } else if (inSection && !Trimmed(lines[i]).empty()) {
      sectionEnd = i + 1;
    }
  }
  if (sectionEnd) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), keyLine);
  } else {
    lines.push_back("[" + section + "]");
    lines.push_back(keyLine);
  }
  return Joined(lines);
}

std::optional<int> BaudIndexFromText(const std::string& text) {
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (number >= 0 && number < static_cast<int>(kRates.size())) return number;
  const auto rate = std::find(kRates.begin() + 1, kRates.end(), number);
  if (rate == kRates.end()) return std::nullopt;
  return static_cast<int>(rate - kRates.begin());
}

}  // namespace host
