#pragma once

// The checksums a job logs for the bytes it read or wrote, in the form crc32(1) and
// sha256sum(1) print them: CRC-32 (IEEE 802.3, as zlib computes it) as eight and SHA-256 as
// sixty-four lower-case hex digits. Any thread.

#include <QByteArray>
#include <QString>

QString Crc32Hex(const QByteArray &bytes);
QString Sha256Hex(const QByteArray &bytes);
