#pragma once

// CRC-32 (IEEE 802.3, reflected, as zlib and crc32(1) compute it). Any thread.

#include <cstddef>
#include <cstdint>

namespace ch341 {

// The CRC-32 of count bytes, continued from the CRC of the bytes before them (0 for none).
uint32_t crc32(const uint8_t *bytes, std::size_t count, uint32_t crc = 0);

} // namespace ch341
