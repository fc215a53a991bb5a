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

}  // namespace

void CrcStep(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc) {
  for (std::uint16_t i = 0; i < count; ++i) {
    crc = static_cast<std::uint16_t>(kTable[(data[i] ^ crc) & 0xFF] ^ (crc >> 8));
  }
}
