#include "testfiles.h"

#include <QFile>
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
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}
