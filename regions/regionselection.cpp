#include "regions/flashregion.h"

#include <QStringList>

namespace {

QString Hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(6, '0');
}

// "bios" 0x302000-0x7FFFFF (line 4)
QString Described(const FlashRegion &region)
{
    QString text = QStringLiteral("\"%1\" %2").arg(region.name, RangeText(region));
    if (region.line > 0)
        text += QStringLiteral(" (line %1)").arg(region.line);
    return text;
}

// The regions of the layout by that name (a map may name two).
QVector<FlashRegion> Named(const QVector<FlashRegion> &layout, const QString &name)
{
    QVector<FlashRegion> found;
    for (const FlashRegion &region : layout)
        if (region.name == name)
            found.append(region);
    return found;
}

QString MissingNames(const QVector<FlashRegion> &layout, const QVector<IncludedRegion> &included)
{
    QStringList missing;
    for (const IncludedRegion &include : included) {
        const QString quoted = QStringLiteral("\"%1\"").arg(include.name);
        if (Named(layout, include.name).isEmpty() && !missing.contains(quoted))
            missing.append(quoted);
    }
    if (missing.isEmpty())
        return {};
    return (missing.size() == 1 ? QStringLiteral("No region named %1 in the layout")
                                : QStringLiteral("No regions named %1 in the layout"))
        .arg(missing.join(QStringLiteral(", ")));
}

SelectedRegions Refused(const QString &reason)
{
    SelectedRegions refused;
    refused.error = reason;
    return refused;
}

} // namespace

QString RangeText(const FlashRegion &region)
{
    return Hex(region.start) + QLatin1Char('-') + Hex(region.end);
}

SelectedRegions RangeOfSelection(const RegionSelection &selection, quint32 chipSize)
{
    if (selection.offset >= chipSize)
        return Refused(QStringLiteral("Offset %1 lies beyond the chip's last byte %2")
                           .arg(Hex(selection.offset), Hex(chipSize - 1)));
    const quint64 length = selection.length ? selection.length : chipSize - selection.offset;
    const quint64 end = selection.offset + length - 1;
    if (end >= chipSize)
        return Refused(QStringLiteral("The range %1-%2 runs past the chip's last byte %3")
                           .arg(Hex(selection.offset), Hex(end), Hex(chipSize - 1)));
    FlashRegion range;
    range.name = QStringLiteral("range");
    range.start = selection.offset;
    range.end = quint32(end);
    SelectedRegions result;
    result.regions.append({range, {}});
    return result;
}

QString RegionOutsideChip(const QVector<FlashRegion> &layout, quint32 chipSize)
{
    for (const FlashRegion &region : layout)
        if (chipSize > 0 && region.end >= chipSize)
            return QStringLiteral("Region %1 lies beyond the chip's last byte %2")
                .arg(Described(region), Hex(chipSize - 1));
    return {};
}

SelectedRegions IncludedRegions(const QVector<FlashRegion> &layout,
                                const QVector<IncludedRegion> &included, quint32 chipSize)
{
    const QString missing = MissingNames(layout, included);
    if (!missing.isEmpty())
        return Refused(missing);
    SelectedRegions result;
    QVector<FlashRegion> regions;
    for (const IncludedRegion &include : included) {
        const QVector<FlashRegion> named = Named(layout, include.name);
        if (named.size() > 1)
            return Refused(QStringLiteral("The layout names two regions \"%1\": %2 and %3")
                               .arg(include.name, RangeText(named[0]), RangeText(named[1])));
        for (const FlashRegion &earlier : qAsConst(regions)) {
            if (earlier.name == include.name)
                return Refused(
                    QStringLiteral("Region \"%1\" is included twice").arg(include.name));
            if (earlier.overlaps(named[0]))
                return Refused(QStringLiteral("Included regions %1 and %2 overlap")
                                   .arg(Described(earlier), Described(named[0])));
        }
        regions.append(named[0]);
        result.regions.append({named[0], include.file});
    }
    const QString outside = RegionOutsideChip(regions, chipSize);
    return outside.isEmpty() ? result : Refused(outside);
}
