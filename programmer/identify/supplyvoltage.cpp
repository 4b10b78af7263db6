#include "programmer/identify/supplyvoltage.h"

#include "chipdb/chiprecord.h"

#include <QMap>
#include <QStringList>

#include <algorithm>

namespace {
// A 1.8 V part tolerates at most 2.0 V or so; a 3 V part at least 2.7 V.
constexpr quint16 kLowVoltageMaximumMv = 2000;

QString Volts(quint16 millivolts)
{
    QString text = QString::number(millivolts / 1000.0, 'f', 3);
    while (text.endsWith(QLatin1Char('0')) && !text.endsWith(QLatin1String(".0")))
        text.chop(1);
    return text;
}

QString RangeText(const ChipRecord &row)
{
    if (row.voltageMaxMv == 0)
        return QString();
    return Volts(row.voltageMinMv) + '-' + Volts(row.voltageMaxMv) + QStringLiteral(" V");
}
} // namespace

QString SupplyVoltageText(const QList<ChipRecord> &rows)
{
    // Ranges in the order the rows name them first.
    QStringList ranges;
    QMap<QString, QStringList> parts;
    for (const ChipRecord &row : rows) {
        const QString range = RangeText(row);
        if (range.isEmpty())
            continue;
        if (!ranges.contains(range))
            ranges << range;
        parts[range] << row.partName;
    }
    if (ranges.size() <= 1)
        return ranges.value(0);
    QStringList each;
    for (const QString &range : ranges)
        each << range + QStringLiteral(" (") + parts.value(range).join(QLatin1String(", ")) + ')';
    return each.join(QLatin1String(" or ")) + QStringLiteral(": the Marking on the Chip Decides");
}

bool NeedsLowVoltageAdapter(const QList<ChipRecord> &rows)
{
    return !rows.isEmpty() && std::all_of(rows.cbegin(), rows.cend(), [](const ChipRecord &row) {
        return row.voltageMaxMv != 0 && row.voltageMaxMv <= kLowVoltageMaximumMv;
    });
}

QString HighestSupplyText(const QList<ChipRecord> &rows)
{
    quint16 highest = 0;
    for (const ChipRecord &row : rows)
        highest = std::max(highest, row.voltageMaxMv);
    return Volts(highest);
}
