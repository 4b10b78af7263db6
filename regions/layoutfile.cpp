#include "regions/layoutfile.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

namespace {

// A hexadecimal offset, "0x" optional, as flashrom reads them; false unless it fits 32 bits.
bool ParseOffset(const QString &text, quint32 &value)
{
    QString digits = text;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{1,8}$"));
    if (!hexDigits.match(digits).hasMatch())
        return false;
    value = digits.toUInt(nullptr, 16);
    return true;
}

// "start:end" into the region; false when it is not two offsets.
bool ParseRange(const QString &text, FlashRegion &region)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    return colon > 0 && ParseOffset(text.left(colon), region.start) &&
           ParseOffset(text.mid(colon + 1), region.end);
}

QString LineError(int line, const QString &reason)
{
    return QStringLiteral("line %1: %2").arg(line).arg(reason);
}

// One line without its comment into the region; the reason when it is no region.
QString ParseLine(const QString &text, FlashRegion &region)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = text.split(blanks, Qt::SkipEmptyParts);
    const bool range = !words.isEmpty() && ParseRange(words[0], region);
    if (range && words.size() == 1)
        return QStringLiteral("the range \"%1\" has no name").arg(words[0]);
    if (!range || words.size() != 2)
        return QStringLiteral("\"%1\" is not a region; a region is written start:end name, "
                              "both in hexadecimal")
            .arg(text.trimmed());
    region.name = words[1];
    if (region.name.contains(QLatin1Char(':')))
        return QStringLiteral("the name \"%1\" holds a colon, which --include NAME:FILE "
                              "could not tell from its file")
            .arg(region.name);
    if (region.end < region.start)
        return QStringLiteral("region \"%1\" ends at %2, before it starts at %3")
            .arg(region.name, words[0].section(':', 1), words[0].section(':', 0, 0));
    return {};
}

} // namespace

LayoutFile ParseLayoutText(const QString &text)
{
    LayoutFile layout;
    QHash<QString, int> lineOfName;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int index = 0; index < lines.size(); ++index) {
        const QString content = lines[index].section(QLatin1Char('#'), 0, 0);
        if (content.trimmed().isEmpty())
            continue;
        FlashRegion region;
        region.line = index + 1;
        QString reason = ParseLine(content, region);
        if (reason.isEmpty() && lineOfName.contains(region.name))
            reason = QStringLiteral("the name \"%1\" is given twice (first on line %2)")
                         .arg(region.name)
                         .arg(lineOfName.value(region.name));
        if (!reason.isEmpty()) {
            layout.regions.clear();
            layout.error = LineError(region.line, reason);
            return layout;
        }
        lineOfName.insert(region.name, region.line);
        layout.regions.append(region);
    }
    if (layout.regions.isEmpty())
        layout.error = QStringLiteral("no region in it");
    return layout;
}

LayoutFile ReadLayoutFile(const QString &fileName)
{
    LayoutFile layout;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        layout.error =
            QStringLiteral("Cannot read the layout file %1: %2").arg(fileName, file.errorString());
        return layout;
    }
    layout = ParseLayoutText(QString::fromUtf8(file.readAll()));
    if (!layout.ok())
        layout.error = QStringLiteral("Layout file %1, %2").arg(fileName, layout.error);
    return layout;
}
