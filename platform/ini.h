// The pure logic of INI files, on the file's text: reading a value, replacing
// or adding one, and reading an integer value. No file access here; os::IniRead
// and os::IniWrite wrap these around the file.
//
// Rules, as the Windows profile functions have them:
// - a section starts with a line "[name]"; a value line is "key=value"; a line
//   starting with ';' is a comment; a line without '=' inside a section is a
//   key with an empty value;
// - section and key names compare without regard to ASCII case, with the
//   blanks (spaces and tabs) around them ignored; the first match counts;
// - a value has the blanks around it removed, and one pair of matching double
//   or single quotes around it as well; at most kIniMaxValue characters of it
//   are returned.
#pragma once

#include <cstdint>
#include <string>

namespace os {

constexpr std::size_t kIniMaxValue = 2047;
// Settings files are read up to this size; a longer one is never rewritten.
constexpr std::size_t kIniMaxFileSize = 64 * 1024;

// The value of `key` in `section` of the INI text `content`, or `defaultValue`
// (cut to kIniMaxValue characters) when the section or key is missing.
std::string IniGetValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& defaultValue);

// `content` with `key` in `section` set to `value`. An existing key line is
// rewritten in place (keeping the key as spelt in the file); a missing key is
// added after the section's last key; a missing section is added at the end.
// Every other line stays as it was. New lines use the file's line ending
// ("\r\n" when its first line ends so, "\n" otherwise).
std::string IniSetValue(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value);

}  // namespace os

// Reads an integer setting: decimal ("15", "-3"), hexadecimal after "$"
// ("$0F", "-$0F"), or hexadecimal after "0x" or "0X" when the text is longer
// than two characters ("0x0F"). Decimal must fit 32 bits signed; hexadecimal
// may use all 32 bits ("$FFFFFFFF" is -1). Anything else is invalid: returns
// false and leaves *value alone.
bool ParseIniInteger(const std::string& text, std::int32_t* value);
