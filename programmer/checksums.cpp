#include "checksums.h"

#include <QCryptographicHash>

#include <array>

namespace {
// The reflected IEEE 802.3 polynomial.
constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> Crc32Table()
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

QString Crc32Hex(const QByteArray &bytes)
{
    static constexpr std::array<uint32_t, 256> kTable = Crc32Table();
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes)
        crc = kTable[(crc ^ uint8_t(byte)) & 0xFF] ^ (crc >> 8);
    return QString::number(~crc, 16).rightJustified(8, QLatin1Char('0'));
}

QString Sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
