#include "chiptable.h"

#include <QFile>
#include <QTextStream>

bool ReadChipTable(const QString &path, ChipTable &table, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = file.errorString();
        return false;
    }
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    table = ChipTable();
    int number = 0;
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        ++number;
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList cells = line.split(QLatin1Char('\t'));
        if (table.header.isEmpty())
            table.header = cells;
        else
            table.lines.append({number, cells});
    }
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool ParseVoltageRange(const QString &text, quint16 &minimumMv, quint16 &maximumMv)
{
    const QStringList ends = text.split(QLatin1Char('-'));
    if (ends.size() != 2)
        return false;
    bool minimumRead = false;
    bool maximumRead = false;
    const uint minimum = ends.at(0).toUInt(&minimumRead);
    const uint maximum = ends.at(1).toUInt(&maximumRead);
    if (!minimumRead || !maximumRead || minimum >= maximum || maximum > 0xFFFF)
        return false;
    minimumMv = quint16(minimum);
    maximumMv = quint16(maximum);
    return true;
}
