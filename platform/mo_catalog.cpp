#include "platform/mo_catalog.h"

#include <cstdint>

namespace os {
namespace {

constexpr std::uint32_t kMoMagic = 0x950412DE;
constexpr std::uint32_t kMoMagicSwapped = 0xDE120495;
constexpr std::size_t kHeaderSize = 20;  // magic, revision, count, two table offsets
constexpr std::size_t kTableEntrySize = 8;  // length, offset

std::uint32_t ReadWord(std::string_view data, std::size_t at, bool bigEndian) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i])); };
  if (bigEndian) return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
  return byte(3) << 24 | byte(2) << 16 | byte(1) << 8 | byte(0);
}

// The string that table entry `index` describes, or nothing when it or its
// terminating zero lies outside the data. 64-bit sums: offsets near 4 GiB must not wrap around.
std::optional<std::string_view> TableString(std::string_view data, std::uint32_t table, std::uint32_t index,
                                            bool bigEndian) {
  const std::uint64_t entry = std::uint64_t{table} + std::uint64_t{index} * kTableEntrySize;
  if (entry + kTableEntrySize > data.size()) return std::nullopt;
  const std::uint32_t length = ReadWord(data, entry, bigEndian);
  const std::uint32_t offset = ReadWord(data, entry + 4, bigEndian);
  if (std::uint64_t{offset} + length >= data.size() || data[offset + length] != '\0') return std::nullopt;
  return data.substr(offset, length);
}

// A plural entry holds its forms separated by zero bytes; the first is the singular.
std::string_view FirstForm(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::optional<MoCatalog> MoCatalog::Parse(std::string_view data) {
  if (data.size() < kHeaderSize) return std::nullopt;
  const std::uint32_t magic = ReadWord(data, 0, false);
  if (magic != kMoMagic && magic != kMoMagicSwapped) return std::nullopt;
  const bool bigEndian = magic == kMoMagicSwapped;
  const std::uint32_t revision = ReadWord(data, 4, bigEndian);
  if ((revision >> 16) > 1) return std::nullopt;
  const std::uint32_t count = ReadWord(data, 8, bigEndian);
  const std::uint32_t originals = ReadWord(data, 12, bigEndian);
  const std::uint32_t translations = ReadWord(data, 16, bigEndian);

  MoCatalog catalog;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto original = TableString(data, originals, i, bigEndian);
    const auto translation = TableString(data, translations, i, bigEndian);
    if (!original || !translation) return std::nullopt;
    const std::string_view key = FirstForm(*original);
    const std::string_view value = FirstForm(*translation);
    // The empty original is the catalogue's header, not a message.
    if (key.empty() || value.empty()) continue;
    catalog.translations_.emplace(std::string(key), std::string(value));
  }
  return catalog;
}

const std::string* MoCatalog::Find(const std::string& original) const {
  const auto found = translations_.find(original);
  return found == translations_.end() ? nullptr : &found->second;
}

}  // namespace os
