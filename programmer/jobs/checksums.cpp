#include "programmer/jobs/checksums.h"

#include "bridge/crc32.h"

#include <QCryptographicHash>

QString Crc32Hex(const QByteArray &bytes)
{
    const uint32_t crc =
        ch341::crc32(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    return QString::number(crc, 16).rightJustified(8, QLatin1Char('0'));
}

QString Sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
