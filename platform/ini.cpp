#include "platform/ini.h"

#include <vector>

namespace os {
namespace {

struct Line {
  std::string text;  // without the line ending
  std::string end;   // "\n", "\r\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t nl = content.find('\n', pos);
    Line line;
    if (nl == std::string::npos) {
      line.text = content.substr(pos);
      pos = content.size();
    } else {
      std::size_t textEnd = nl;
      if (textEnd > pos && content[textEnd - 1] == '\r') --textEnd;
      line.text = content.substr(pos, textEnd - pos);
      line.end = content.substr(textEnd, nl + 1 - textEnd);
      pos = nl + 1;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Editors on Windows often begin a UTF-8 file with a byte-order mark; it is
// not part of the first line, and a write leaves it where it is.
std::string WithoutByteOrderMark(const std::string& text) {
  static const std::string kMark = "\xEF\xBB\xBF";
  return text.compare(0, kMark.size(), kMark) == 0 ? text.substr(kMark.size()) : text;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The section name of a header line "[name]" (trimmed line), or false.
bool SectionName(const std::string& trimmed, std::string* name) {
  if (trimmed.empty() || trimmed[0] != '[') return false;
  std::size_t close = trimmed.rfind(']');
  if (close == std::string::npos || close == 0) close = trimmed.size();
  *name = Trim(trimmed.substr(1, close - 1));
  return true;
}

// Splits a trimmed key line into key and raw value; false for comments and
// empty lines.
bool KeyLine(const std::string& trimmed, std::string* key, std::string* value) {
  if (trimmed.empty() || trimmed[0] == ';') return false;
  std::size_t eq = trimmed.find('=');
  if (eq == std::string::npos) {
    *key = trimmed;
    value->clear();
  } else {
    *key = Trim(trimmed.substr(0, eq));
    *value = trimmed.substr(eq + 1);
  }
  return true;
}

struct Location {
  int header = -1;    // line index of the section header, -1 if none
  int lastEntry = -1; // last non-blank line of the section (header included)
  int keyLine = -1;   // line index of the key, -1 if none
  std::string key;    // the key as spelt in the file
  std::string value;  // its raw value text
};

Location Find(const std::vector<Line>& lines, const std::string& section, const std::string& key) {
  Location loc;
  const std::string wantSection = Trim(section);
  const std::string wantKey = Trim(key);
  bool inside = false;
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const std::string trimmed = Trim(i == 0 ? WithoutByteOrderMark(lines[i].text) : lines[i].text);
    std::string name;
    if (SectionName(trimmed, &name)) {
      if (inside) break;  // the section ended
      if (SameName(name, wantSection)) {
        inside = true;
        loc.header = i;
        loc.lastEntry = i;
      }
      continue;
    }
    if (!inside) continue;
    if (!trimmed.empty()) loc.lastEntry = i;
    std::string k, v;
    if (loc.keyLine < 0 && KeyLine(trimmed, &k, &v) && SameName(k, wantKey)) {
      loc.keyLine = i;
      loc.key = k;
      loc.value = v;
    }
  }
  return loc;
}

std::string CleanValue(const std::string& raw) {
  std::string v = Trim(raw);
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kIniMaxValue) v.resize(kIniMaxValue);
  return v;
}

}  // namespace

std::string IniGetValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& defaultValue) {
  const Location loc = Find(SplitLines(content), section, key);
  if (loc.keyLine < 0) {
    return defaultValue.size() > kIniMaxValue ? defaultValue.substr(0, kIniMaxValue)
                                              : defaultValue;
  }
  return CleanValue(loc.value);
}

std::string IniSetValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value) {
  std::vector<Line> lines = SplitLines(content);
  const std::string eol = (!lines.empty() && lines[0].end == "\r\n") ? "\r\n" : "\n";
  const Location loc = Find(lines, section, key);
  if (loc.keyLine >= 0) {
    lines[loc.keyLine].text = loc.key + "=" + value;
  } else if (loc.header >= 0) {
    Line added{Trim(key) + "=" + value, eol};
    Line& before = lines[loc.lastEntry];
    if (before.end.empty()) {
      before.end = eol;
      added.end.clear();  // the file ended without a line ending; keep it so
    }
    lines.insert(lines.begin() + loc.lastEntry + 1, added);
  } else {
    if (!lines.empty()) {
      if (lines.back().end.empty()) lines.back().end = eol;
      if (!Trim(lines.back().text).empty()) lines.push_back(Line{"", eol});
    }
    std::string header = "[";
    header += Trim(section);
    header += ']';
    lines.push_back(Line{header, eol});
    lines.push_back(Line{Trim(key) + "=" + value, eol});
  }
  std::string out;
  for (const Line& line : lines) {
    out += line.text;
    out += line.end;
  }
  return out;
}

}  // namespace os

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseIniInteger(const std::string& text, std::int32_t* value) {
  std::string s = text;
  // "0x1F" counts as hexadecimal only when longer than two characters.
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  }
  if (i >= s.size()) return false;
  std::uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    const int digit = hex ? HexDigit(s[i]) : ((s[i] >= '0' && s[i] <= '9') ? s[i] - '0' : -1);
    if (digit < 0) return false;
    magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (magnitude > 0xFFFFFFFFull) return false;
  }
  std::int64_t result;
  if (hex) {
    // All 32 bits may be used: $FFFFFFFF is -1.
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
    if (negative) result = -result;
    if (result > INT32_MAX) return false;  // -$80000000
  } else {
    result = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (result < INT32_MIN || result > INT32_MAX) return false;
  }
  *value = static_cast<std::int32_t>(result);
  return true;
}
