// CRC-16/X-25 (the HDLC frame check sequence), table-driven.
#pragma once

#include <cstdint>

// Updates the running value `crc` with `count` bytes of `data`.
void CrcStep(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc);
