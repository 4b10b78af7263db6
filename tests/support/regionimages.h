#pragma once

// Synthetic firmware images the region tests share: an Intel flash descriptor of an ICH8 (five
// region registers) or a 100-series chipset (ten, of which the first five are used), a whole
// BIOS image around one, and FMAP headers. Little-endian throughout.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace regionimages {

enum class Generation { Ich8, SunrisePoint };

// fd 0x000000-0x000FFF, me 0x001000-0x2FFFFF, gbe 0x300000-0x301FFF, bios 0x302000-0x7FFFFF,
// pd unused; the signature at 0x10. The 4 KiB, 0xFF where nothing is written.
QByteArray Descriptor(Generation generation);

// An 8 MiB image: the descriptor, ME filled with 0x4D, GbE with 0x47 after the MAC
// 00 11 22 33 44 55, BIOS with 0x42.
QByteArray BiosImage(Generation generation);

// FLREG for a region from start to end inclusive, both 4 KiB aligned.
quint32 RegionRegister(quint32 start, quint32 end);
void PutDword(QByteArray &bytes, quint32 offset, quint32 value);
// Where the descriptor's region registers start (FRBA).
constexpr quint32 kRegionSection = 0x40;

struct FmapArea
{
    QString name;
    quint32 offset = 0;
    quint32 size = 0;
    quint16 flags = 0;
};

// An FMAP named "FMAP" describing an image of imageSize bytes.
QByteArray FmapImage(const QVector<FmapArea> &areas, quint32 imageSize);

} // namespace regionimages
