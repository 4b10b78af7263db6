#pragma once

// The parts of the chip a job takes, once resolved: their spans and the wanted bytes a write or
// verify places in them. Plain arithmetic over the regions; worker thread.

#include "programmer/chips/updateplan.h"
#include "regions/flashregion.h"

#include <QByteArray>
#include <QVector>

struct RegionBytes
{
    QVector<ChipSpan> spans; // in address order
    QByteArray bytes;        // as long as the chip: the wanted bytes in the spans, 0xFF elsewhere
};

QVector<ChipSpan> SpansOfRegions(const QVector<SelectedRegion> &regions);

// The chip as a write of placed leaves it: chip's bytes, the spans' replaced.
QByteArray WithRegions(const QByteArray &chip, const RegionBytes &placed);

// spans' bytes read one after the other (as ChipReader reads them) put back at their addresses
// of a chip of chipSize bytes, 0xFF elsewhere.
QByteArray AtChipAddresses(const QVector<ChipSpan> &spans, const QByteArray &read,
                           quint32 chipSize);
