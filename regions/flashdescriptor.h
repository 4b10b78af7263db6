#pragma once

// The Intel flash descriptor in a chip's or an image's first 4 KiB: its signature, maps and
// region registers, read into flashrom's region names.

#include "regions/flashregion.h"

#include <QByteArray>
#include <QStringList>

struct FlashDescriptor
{
    enum class Status { Found, Absent, Invalid };
    Status status = Status::Absent;
    QString error;                // Invalid: why
    quint32 signatureOffset = 0;  // 0x0 (ICH8 to ICH10) or 0x10 (later)
    int registerCount = 0;        // region registers read (5 to 16)
    QVector<FlashRegion> regions; // the used regions, in register order
    QByteArray bytes;             // the descriptor's 4 KiB
    bool found() const { return status == Status::Found; }
};

constexpr quint32 kDescriptorSize = 0x1000;

// Reads the descriptor at the start of bytes (the chip's or an image's first 4 KiB or more).
FlashDescriptor ParseFlashDescriptor(const QByteArray &bytes);

// Which regions an image's descriptor places differently from the chip's, by name (a region
// only one of them uses counts too), and whether their 4 KiB differ at all.
struct DescriptorDifference
{
    QStringList regions;
    bool bytesDiffer = false;
};
DescriptorDifference CompareDescriptors(const FlashDescriptor &image, const FlashDescriptor &chip);
