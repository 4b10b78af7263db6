#include "programmer/jobs/readcompare.h"

#include <algorithm>

ReadDifference CompareReads(const QByteArray &first, const QByteArray &second)
{
    ReadDifference difference;
    const int common = qMin(first.size(), second.size());
    const char *a = first.constData();
    const char *b = second.constData();
    for (int at = 0; at < common;) {
        at = int(std::mismatch(a + at, a + common, b + at).first - a);
        if (at == common)
            break;
        const int runStart = at;
        while (at < common && a[at] != b[at])
            ++at;
        difference.bytes += at - runStart;
        if (difference.firstRanges.size() < ReadDifference::kShownRanges)
            difference.firstRanges.append({uint32_t(runStart), uint32_t(at - runStart)});
    }
    const int longer = qMax(first.size(), second.size());
    if (longer > common) {
        difference.bytes += longer - common;
        if (difference.firstRanges.size() < ReadDifference::kShownRanges)
            difference.firstRanges.append({uint32_t(common), uint32_t(longer - common)});
    }
    return difference;
}
