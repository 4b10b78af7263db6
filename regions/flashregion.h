#pragma once

// The parts of a chip a job can take: regions of a layout file, an Intel flash descriptor or
// an FMAP, a range, and the selection a front end hands the worker. Plain values, any thread.

#include <QString>
#include <QVector>

struct FlashRegion // one region of a layout, descriptor or FMAP
{
    QString name;
    quint32 start = 0;
    quint32 end = 0; // inclusive, as layout files write it
    int line = 0;    // the layout file's line, from 1; 0 for a descriptor or an FMAP
    quint32 size() const { return end - start + 1; }
    bool overlaps(const FlashRegion &other) const
    {
        return start <= other.end && other.start <= end;
    }
};

struct IncludedRegion // one --include NAME[:FILE]
{
    QString name;
    QString file; // empty: the job's own file, at the region's own offsets
};

struct RegionSelection // what part of the chip a job takes
{
    enum class Source { WholeChip, Range, LayoutFile, Descriptor, Fmap };
    Source source = Source::WholeChip;
    quint32 offset = 0;               // Range
    quint32 length = 0;               // Range; 0 = to the end of the chip
    QVector<FlashRegion> layout;      // LayoutFile: every region of the file
    QString layoutFileName;           // for messages
    QVector<IncludedRegion> included; // LayoutFile, Descriptor, Fmap
    bool forceLayout = false;         // --force-layout
};

// An included region with the file it is read into or written from.
struct SelectedRegion
{
    FlashRegion region;
    QString file; // empty: the job's own file, at the region's own offsets
};

// The regions a job takes, in the order they were included, or why it cannot take them.
struct SelectedRegions
{
    QVector<SelectedRegion> regions;
    QString error; // empty when the selection holds
    bool ok() const { return error.isEmpty(); }
};

// "0x302000-0x7FFFFF": a region's first and last byte, as the log names them.
QString RangeText(const FlashRegion &region);

// The bytes a Range selection takes on a chip of chipSize bytes: one region named "range",
// or the reason it does not fit.
SelectedRegions RangeOfSelection(const RegionSelection &selection, quint32 chipSize);

// The layout's regions that selection.included names, each inside a chip of chipSize bytes
// and none overlapping another included one (regions of the layout itself may nest). For a
// LayoutFile the layout is selection.layout; for a Descriptor or an Fmap it is what was found
// on the chip. chipSize 0: not known yet, not checked.
SelectedRegions IncludedRegions(const QVector<FlashRegion> &layout,
                                const QVector<IncludedRegion> &included, quint32 chipSize);

// The first region of the layout that does not lie inside a chip of chipSize bytes, as a
// reason naming it (and its line, for a layout file); empty when all fit.
QString RegionOutsideChip(const QVector<FlashRegion> &layout, quint32 chipSize);
