#pragma once

// Two reads of the same bytes compared: how many differ and where the first runs of
// differing bytes lie. A read through a loose clip or long wires differs from itself.

#include "programmer/chips/updateplan.h"

#include <QByteArray>
#include <QVector>

struct ReadDifference
{
    // The runs the operator is shown.
    static constexpr int kShownRanges = 3;

    qint64 bytes = 0;
    // The first kShownRanges runs of consecutive differing bytes, by chip address.
    QVector<ChipSpan> firstRanges;
};

// first and second read the chip from address 0; a shorter one differs in every byte the
// other has beyond it.
ReadDifference CompareReads(const QByteArray &first, const QByteArray &second);
