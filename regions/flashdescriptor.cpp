#include "regions/flashdescriptor.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint32 kSignature = 0x0FF0A55A; // FLVALSIG
// FLUMAP1 and the OEM section close the descriptor: no section runs past them.
constexpr quint32 kUpperMap = 0xEFC;
constexpr int kMostRegisters = 16;
// FLCOMP bits 19:17, the read clock: 17 MHz on the descriptors of 100-series chipsets on,
// which have 10 or 16 region registers and leave FLMAP0's region count reserved.
constexpr quint32 kReadClock17MHz = 6;

// The region names flashrom's --ifd gives, by register.
const char *const kRegionNames[kMostRegisters] = {"fd",    "bios",  "me",    "gbe",  "pd", "reg5",
                                                  "bios2", "reg7",  "ec",    "reg9", "ie", "10gbe",
                                                  "reg12", "reg13", "reg14", "reg15"};

quint32 Dword(const QByteArray &bytes, quint32 offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// A section base from a map: its byte field times 16.
quint32 SectionBase(quint32 map, int shift)
{
    return ((map >> shift) & 0xFF) << 4;
}

// How many region registers stand at regionBase: what the maps declare, and never more than
// fit before the next section, so that no master or strap dword is read as a region.
int RegisterCount(const QByteArray &bytes, quint32 signature, quint32 regionBase)
{
    const quint32 flmap0 = Dword(bytes, signature + 4);
    const quint32 flmap1 = Dword(bytes, signature + 8);
    const quint32 flmap2 = Dword(bytes, signature + 12);
    const quint32 componentBase = SectionBase(flmap0, 0);
    const quint32 sections[] = {componentBase, SectionBase(flmap1, 0), SectionBase(flmap1, 16),
                                SectionBase(flmap2, 0), kUpperMap};
    quint32 next = kUpperMap;
    for (quint32 base : sections)
        if (base > regionBase)
            next = std::min(next, base);
    const bool laterGeneration = componentBase + 4 <= kUpperMap &&
                                 ((Dword(bytes, componentBase) >> 17) & 7) == kReadClock17MHz;
    const int declared = laterGeneration ? kMostRegisters : int((flmap0 >> 24) & 7) + 1;
    return std::min<int>(declared, (next - regionBase) / 4);
}

// FLREGn: base in bits 14:0, limit in bits 30:16, both in 4 KiB units. A region is unused
// when its base lies above its limit; an erased register (all ones) and, past the
// descriptor's own, an all-zero one name no region either.
bool RegionOf(quint32 value, int index, FlashRegion &region)
{
    const quint32 base = value & 0x7FFF;
    const quint32 limit = (value >> 16) & 0x7FFF;
    if (base > limit || value == 0xFFFFFFFF || (index > 0 && value == 0))
        return false;
    region.name = QLatin1String(kRegionNames[index]);
    region.start = base << 12;
    region.end = (limit << 12) | 0xFFF;
    return true;
}

} // namespace

FlashDescriptor ParseFlashDescriptor(const QByteArray &bytes)
{
    FlashDescriptor descriptor;
    if (quint32(bytes.size()) < kDescriptorSize)
        return descriptor;
    if (Dword(bytes, 0x10) == kSignature)
        descriptor.signatureOffset = 0x10;
    else if (Dword(bytes, 0) != kSignature)
        return descriptor;
    descriptor.status = FlashDescriptor::Status::Found;
    descriptor.bytes = bytes.left(kDescriptorSize);
    const quint32 signature = descriptor.signatureOffset;
    const quint32 regionBase = SectionBase(Dword(bytes, signature + 4), 16);
    if (regionBase < signature + 16 || regionBase + 4 > kUpperMap) {
        descriptor.status = FlashDescriptor::Status::Invalid;
        descriptor.error = QStringLiteral("its region section (at 0x%1) lies outside the "
                                          "descriptor")
                               .arg(QString::number(regionBase, 16).toUpper());
        return descriptor;
    }
    descriptor.registerCount = RegisterCount(bytes, signature, regionBase);
    for (int index = 0; index < descriptor.registerCount; ++index) {
        FlashRegion region;
        if (RegionOf(Dword(bytes, regionBase + 4 * index), index, region))
            descriptor.regions.append(region);
    }
    return descriptor;
}

DescriptorDifference CompareDescriptors(const FlashDescriptor &image, const FlashDescriptor &chip)
{
    DescriptorDifference difference;
    difference.bytesDiffer = image.bytes != chip.bytes;
    for (const char *name : kRegionNames) {
        const auto named = [name](const FlashRegion &region) { return region.name == name; };
        const auto mine = std::find_if(image.regions.begin(), image.regions.end(), named);
        const auto theirs = std::find_if(chip.regions.begin(), chip.regions.end(), named);
        const bool inMine = mine != image.regions.end();
        const bool inTheirs = theirs != chip.regions.end();
        if (inMine != inTheirs ||
            (inMine && (mine->start != theirs->start || mine->end != theirs->end)))
            difference.regions.append(QLatin1String(name));
    }
    return difference;
}
