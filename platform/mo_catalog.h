// A reader of GNU gettext ".mo" message catalogues: the whole file is parsed
// at once into a table from original text to translated text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace os {

class MoCatalog {
 public:
  // Parses the bytes of a ".mo" file in either byte order. Returns nothing
  // when the file is malformed: a bad magic number, an unknown major
  // revision, or a table or string that reaches past the end of the data.
  static std::optional<MoCatalog> Parse(std::string_view data);

  // The translation of `original` (its singular form for a plural entry), or
  // null when the catalogue has none or an empty one.
  const std::string* Find(const std::string& original) const;

  std::size_t Size() const { return translations_.size(); }

 private:
  std::unordered_map<std::string, std::string> translations_;
};

}  // namespace os
