#include "testfiles.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

QByteArray RandomBytes(int size, quint32 seed)
{
    QByteArray data(size, '\0');
    QRandomGenerator generator(seed);
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.generate() & 0xFF);
    return data;
}

bool WriteFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray ReadFile(const QString &path)
{
    // A job without a file leaves its name empty: nothing to open.
    QFile file(path);
    return !path.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                             : QByteArray("<unreadable>");
}

QString ChecksumLine(const QByteArray &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= uint8_t(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    QProcess sha256sum;
    sha256sum.start(QStringLiteral("sha256sum"), {QStringLiteral("-")});
    sha256sum.write(bytes);
    sha256sum.closeWriteChannel();
    sha256sum.waitForFinished();
    return QStringLiteral("CRC-32: %1 SHA-256: %2")
        .arg(~crc, 8, 16, QLatin1Char('0'))
        .arg(QString::fromLatin1(sha256sum.readAllStandardOutput().left(64)));
}
