#include "regionimages.h"

#include <QtEndian>

namespace regionimages {

namespace {

void PutName(QByteArray &bytes, const QString &name)
{
    QByteArray field = name.toLatin1();
    field = field.leftJustified(32, '\0', true);
    bytes += field;
}

template<typename T> void Append(QByteArray &bytes, T value)
{
    char le[sizeof(T)];
    qToLittleEndian(value, le);
    bytes.append(le, sizeof(T));
}

} // namespace

quint32 RegionRegister(quint32 start, quint32 end)
{
    return ((end >> 12) << 16) | (start >> 12);
}

void PutDword(QByteArray &bytes, quint32 offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

QByteArray Descriptor(Generation generation)
{
    const bool later = generation == Generation::SunrisePoint;
    QByteArray bytes(0x1000, char(0xFF));
    PutDword(bytes, 0x10, 0x0FF0A55A);
    PutDword(bytes, 0x14, later ? 0x00040003 : 0x04040003); // FCBA 0x30, FRBA 0x40, NR 4
    PutDword(bytes, 0x18, later ? 0x00100208 : 0x00100206); // FMBA 0x80 / 0x60, FISBA 0x100
    PutDword(bytes, 0x1C, later ? 0x00310020 : 0x00000020); // FMSBA 0x200, ICCRIBA
    PutDword(bytes, 0x30, later ? 0x000C0004 : 0x00000004); // FLCOMP: 8 MiB, 17 / 20 MHz
    PutDword(bytes, 0x34, 0);
    PutDword(bytes, 0x38, 0);
    const quint32 registers[] = {RegionRegister(0, 0xFFF), RegionRegister(0x302000, 0x7FFFFF),
                                 RegionRegister(0x1000, 0x2FFFFF),
                                 RegionRegister(0x300000, 0x301FFF), 0x00007FFF};
    for (int index = 0; index < (later ? 10 : 5); ++index)
        PutDword(bytes, kRegionSection + 4 * index, index < 5 ? registers[index] : 0x00007FFF);
    const quint32 masters[2][3] = {{0x0A0B0000, 0x0C0D0000, 0x08080118},
                                   {0x00A00B00, 0x00400D00, 0x00800900}};
    for (int index = 0; index < 3; ++index)
        PutDword(bytes, (later ? 0x80 : 0x60) + 4 * index, masters[later][index]);
    PutDword(bytes, 0xEFC, 0);
    return bytes;
}

QByteArray BiosImage(Generation generation)
{
    QByteArray image(0x800000, char(0xFF));
    image.replace(0, 0x1000, Descriptor(generation));
    image.replace(0x1000, 0x2FF000, QByteArray(0x2FF000, 0x4D));
    image.replace(0x300000, 0x2000, QByteArray(0x2000, 0x47));
    image.replace(0x300000, 6, QByteArray::fromHex("001122334455"));
    image.replace(0x302000, 0x4FE000, QByteArray(0x4FE000, 0x42));
    return image;
}

QByteArray FmapImage(const QVector<FmapArea> &areas, quint32 imageSize)
{
    QByteArray bytes("__FMAP__\x01\x01", 10);
    Append<quint64>(bytes, 0);
    Append<quint32>(bytes, imageSize);
    PutName(bytes, QStringLiteral("FMAP"));
    Append<quint16>(bytes, quint16(areas.size()));
    for (const FmapArea &area : areas) {
        Append<quint32>(bytes, area.offset);
        Append<quint32>(bytes, area.size);
        PutName(bytes, area.name);
        Append<quint16>(bytes, area.flags);
    }
    return bytes;
}

} // namespace regionimages
