// CRC-16/X-25 (the HDLC frame check sequence), table-driven.
#pragma once

#include <cstdint>

// Updates the running value `crc` with `count` bytes of `data`.
void CrcStep(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc);
// Undoes CrcStep over one byte: the value before `byte` was added.
void CrcUnstep(std::uint8_t byte, std::uint16_t& crc);
// The running value after a packet followed by its own checksum, low byte first.
constexpr std::uint16_t kCrcGoodResidue = 0xF0B8;
