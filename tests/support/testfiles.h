#pragma once

// Small file and data helpers the job tests share.

#include <QByteArray>
#include <QString>

// Reproducible pseudo-random contents for chips and images.
QByteArray RandomBytes(int size, quint32 seed);

bool WriteFile(const QString &path, const QByteArray &contents);

// The file's bytes, or "<unreadable>" so a lost file never equals empty data.
QByteArray ReadFile(const QString &path);

// The line a job logs for bytes it read or wrote: the SHA-256 from sha256sum(1), the CRC-32
// computed here bit by bit, both apart from the program's own.
QString ChecksumLine(const QByteArray &bytes);
