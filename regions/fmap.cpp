#include "regions/fmap.h"

#include <QSet>
#include <QtEndian>

namespace {

// The header: signature 8, ver_major 1, ver_minor 1, base 8, size 4, name 32, nareas 2; then
// each area: offset 4, size 4, name 32, flags 2. Little-endian, packed.
const QByteArray kSignature = QByteArrayLiteral("__FMAP__");
constexpr quint32 kHeaderSize = 56;
constexpr quint32 kAreaSize = 42;
constexpr quint32 kNameSize = 32;
// Probing stops at this stride: below it probes cost more exchanges than reading the chip.
constexpr quint32 kSmallestStride = 0x10000;
constexpr quint32 kScanBlock = 0x10000;

template<typename T> T Field(const QByteArray &bytes, quint32 offset)
{
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// A name field: printable characters up to a NUL inside its 32 bytes; false otherwise.
bool NameField(const QByteArray &bytes, quint32 offset, QString &name)
{
    const QByteArray field = bytes.mid(offset, kNameSize);
    const int end = field.indexOf('\0');
    if (end < 0)
        return false;
    for (int index = 0; index < end; ++index)
        if (field[index] < 0x20 || field[index] > 0x7E)
            return false;
    name = QString::fromLatin1(field.left(end));
    return true;
}

// The areas after a valid header at offset; false when one is unreadable or wraps 4 GiB.
bool ReadAreas(const QByteArray &bytes, quint32 offset, quint16 count, Fmap &map)
{
    for (quint32 index = 0; index < count; ++index) {
        const quint32 at = offset + kHeaderSize + index * kAreaSize;
        FlashRegion area;
        area.start = Field<quint32>(bytes, at);
        const quint32 size = Field<quint32>(bytes, at + 4);
        if (!NameField(bytes, at + 8, area.name) || quint64(area.start) + size > 0x100000000ULL)
            return false;
        if (size == 0) {
            map.emptyAreas.append(area.name);
            continue;
        }
        area.end = area.start + size - 1;
        map.areas.append(area);
    }
    return true;
}

// The map's whole length from a header at offset of bytes, or 0 when it is no valid header.
quint32 MapLength(const QByteArray &bytes, quint32 offset)
{
    QString name;
    if (quint64(offset) + kHeaderSize > quint64(bytes.size()) ||
        bytes.mid(offset, kSignature.size()) != kSignature || bytes[offset + 8] != 1 ||
        !NameField(bytes, offset + 22, name))
        return 0;
    const quint32 length = kHeaderSize + kAreaSize * Field<quint16>(bytes, offset + 54);
    return Field<quint32>(bytes, offset + 18) >= length ? length : 0;
}

Fmap FailedRead()
{
    Fmap failed;
    failed.status = Fmap::Status::ReadFailed;
    return failed;
}

// The map at offset of the chip, read through read; Absent when none is there.
Fmap ReadFmapAt(quint32 offset, quint32 chipSize, const FlashReader &read)
{
    const QByteArray header = read(offset, kHeaderSize);
    if (quint32(header.size()) < kHeaderSize)
        return FailedRead();
    const quint32 length = MapLength(header, 0);
    if (length == 0 || quint64(offset) + length > chipSize)
        return {};
    const QByteArray whole = length == kHeaderSize ? header : read(offset, length);
    if (quint32(whole.size()) < length)
        return FailedRead();
    Fmap map = ParseFmapAt(whole, 0);
    map.offset = offset;
    return map;
}

} // namespace

Fmap ParseFmapAt(const QByteArray &bytes, quint32 offset)
{
    Fmap map;
    const quint32 length = MapLength(bytes, offset);
    if (length == 0 || quint64(offset) + length > quint64(bytes.size()) ||
        !NameField(bytes, offset + 22, map.name) ||
        !ReadAreas(bytes, offset, Field<quint16>(bytes, offset + 54), map))
        return {};
    map.status = Fmap::Status::Found;
    map.offset = offset;
    return map;
}

Fmap FindFmap(quint32 chipSize, const FlashReader &read)
{
    QSet<quint32> probed;
    for (quint32 stride = chipSize / 2; stride >= kSmallestStride; stride /= 2) {
        for (quint32 offset = 0; offset + kHeaderSize <= chipSize; offset += stride) {
            if (probed.contains(offset))
                continue;
            probed.insert(offset);
            const Fmap map = ReadFmapAt(offset, chipSize, read);
            if (map.status != Fmap::Status::Absent)
                return map;
        }
    }
    // Not at an aligned offset: every byte offset, block by block; a block keeps the last
    // bytes of the one before so that a signature across their border is seen.
    QByteArray carried;
    for (quint32 block = 0; block < chipSize; block += kScanBlock) {
        const quint32 length = qMin(kScanBlock, chipSize - block);
        const QByteArray bytes = read(block, length);
        if (quint32(bytes.size()) < length)
            return FailedRead();
        const QByteArray window = carried + bytes;
        const quint32 windowStart = block - quint32(carried.size());
        for (int at = window.indexOf(kSignature); at >= 0;
             at = window.indexOf(kSignature, at + 1)) {
            if (probed.contains(windowStart + at))
                continue;
            const Fmap map = ReadFmapAt(windowStart + at, chipSize, read);
            if (map.status != Fmap::Status::Absent)
                return map;
        }
        carried = window.right(kSignature.size() - 1);
    }
    return {};
}
