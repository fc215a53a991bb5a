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

// kSliced[k][b]: the value's change from byte b followed by k zero bytes, so
// that eight bytes are added with eight independent look-ups instead of a
// chain of eight. A reply's checksum is on the path of every round trip.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeSlicedTables() {
  std::array<std::array<std::uint16_t, 256>, 8> sliced{};
  sliced[0] = kTable;
  for (std::size_t k = 1; k < sliced.size(); ++k) {
    for (unsigned i = 0; i < 256; ++i) {
      const std::uint16_t before = sliced[k - 1][i];
      sliced[k][i] = static_cast<std::uint16_t>((before >> 8) ^ kTable[before & 0xFF]);
    }
  }
  return sliced;
}

constexpr auto kSliced = MakeSlicedTables();

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
  std::uint16_t value = crc;
  const std::uint8_t* const end = data + count;
  for (; end - data >= 8; data += 8) {
    const unsigned low = (data[0] ^ value) & 0xFF, high = (data[1] ^ (value >> 8)) & 0xFF;
    value = static_cast<std::uint16_t>(kSliced[7][low] ^ kSliced[6][high] ^ kSliced[5][data[2]] ^
                                       kSliced[4][data[3]] ^ kSliced[3][data[4]] ^ kSliced[2][data[5]] ^
                                       kSliced[1][data[6]] ^ kSliced[0][data[7]]);
  }
  for (; data != end; ++data) value = static_cast<std::uint16_t>(kTable[(*data ^ value) & 0xFF] ^ (value >> 8));
  crc = value;
}

void CrcUnstep(std::uint8_t byte, std::uint16_t& crc) {
  const std::uint8_t entry = kEntryByHighByte[crc >> 8];
  const auto highByte = static_cast<std::uint16_t>((crc ^ kTable[entry]) & 0xFF);
  crc = static_cast<std::uint16_t>((highByte << 8) | (entry ^ byte));
}
