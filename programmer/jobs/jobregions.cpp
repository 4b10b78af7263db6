#include "programmer/jobs/jobregions.h"

#include <algorithm>

QVector<ChipSpan> SpansOfRegions(const QVector<SelectedRegion> &regions)
{
    QVector<ChipSpan> spans;
    for (const SelectedRegion &selected : regions)
        spans.append({selected.region.start, selected.region.size()});
    std::sort(spans.begin(), spans.end(),
              [](const ChipSpan &a, const ChipSpan &b) { return a.start < b.start; });
    return spans;
}

QByteArray WithRegions(const QByteArray &chip, const RegionBytes &placed)
{
    QByteArray wanted = chip;
    for (const ChipSpan &span : placed.spans)
        wanted.replace(int(span.start), int(span.length), placed.bytes.constData() + span.start,
                       int(span.length));
    return wanted;
}

QByteArray AtChipAddresses(const QVector<ChipSpan> &spans, const QByteArray &read,
                           quint32 chipSize)
{
    QByteArray chip(int(chipSize), char(0xFF));
    int at = 0;
    for (const ChipSpan &span : spans) {
        chip.replace(int(span.start), int(span.length), read.constData() + at, int(span.length));
        at += int(span.length);
    }
    return chip;
}
