#include "phone/CRC.h"

#include <array>

namespace {

// The standard table for the reflected polynomial 0x8408.
constexpr std::array<std::uint16_t, 256> MakeTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t value = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408) : static_cast<std::uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}

constexpr auto kTable = MakeTable();
static_assert(kTable[1] == 0x1189 && kTable[255] == 0x0F78);

// The high bytes of the table's entries are all different, so a step can be
// undone: the high byte of the new value tells which entry was used.
constexpr std::array<std::uint8_t, 256> MakeEntryByHighByte() {
  std::array<std::uint8_t, 256> entries{};
  for (unsigned i = 0; i < 256; ++i) entries[kTable[i] >> 8] = static_cast<std::uint8_t>(i);
  return entries;
}

constexpr auto kEntryByHighByte = MakeEntryByHighByte();

constexpr bool EveryHighByteNamesItsEntry() {
  for (unsigned i = 0; i < 256; ++i) {
    if (kEntryByHighByte[kTable[i] >> 8] != i) return false;
  }
  return true;
}
static_assert(EveryHighByteNamesItsEntry());

}  // namespace

void CrcStep(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc) {
  for (std::uint16_t i = 0; i < count; ++i) {
    crc = static_cast<std::uint16_t>(kTable[(data[i] ^ crc) & 0xFF] ^ (crc >> 8));
  }
}

void CrcUnstep(std::uint8_t byte, std::uint16_t& crc) {
  const std::uint8_t entry = kEntryByHighByte[crc >> 8];
  const auto highByte = static_cast<std::uint16_t>((crc ^ kTable[entry]) & 0xFF);
  crc = static_cast<std::uint16_t>((highByte << 8) | (entry ^ byte));
}
