#include "bridge/crc32.h"

#include <array>

namespace ch341 {

namespace {
// The reflected IEEE 802.3 polynomial.
constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> crc32Table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ kCrc32Polynomial : value >> 1;
        table[byte] = value;
    }
    return table;
}
} // namespace

uint32_t crc32(const uint8_t *bytes, std::size_t count, uint32_t crc)
{
    static constexpr std::array<uint32_t, 256> kTable = crc32Table();
    crc = ~crc;
    for (std::size_t i = 0; i < count; ++i)
        crc = kTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace ch341
