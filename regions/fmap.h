#pragma once

// FMAP, the flash map coreboot and ChromeOS write into an image: a "__FMAP__" header with
// named areas (which may nest), found by probing likely offsets first.

#include "regions/flashregion.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

// Reads length bytes at offset of the chip (or an image); an empty or short answer is a
// failed read.
using FlashReader = std::function<QByteArray(quint32 offset, quint32 length)>;

struct Fmap
{
    enum class Status { Found, Absent, ReadFailed };
    Status status = Status::Absent;
    quint32 offset = 0;         // of the header
    QString name;               // the map's own name
    QVector<FlashRegion> areas; // in map order; offsets are chip offsets
    QStringList emptyAreas;     // areas of size 0, left out of areas
    bool found() const { return status == Status::Found; }
};

// Looks for a valid FMAP on a chip of chipSize bytes: first at the offsets a map is usually
// aligned to (chipSize/2, /4 ... down to 64 KiB), header bytes only, then by reading the chip
// in large blocks and scanning every byte offset.
Fmap FindFmap(quint32 chipSize, const FlashReader &read);

// The FMAP whose header is at offset of bytes; Absent when it is no valid FMAP.
Fmap ParseFmapAt(const QByteArray &bytes, quint32 offset);
