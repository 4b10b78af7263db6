#include "chipfamily.h"

#include "partlayouts.h"

const ChipFamily &DefaultFamily()
{
    return PartLayouts::kLayouts[0];
}

const PartFacts *FactsOfPart(const QString &vendor, const QString &partName)
{
    for (const PartFacts &facts : PartLayouts::kParts) {
        if (partName == QLatin1String(facts.part) && vendor == QLatin1String(facts.vendor))
            return &facts;
    }
    return nullptr;
}

const ChipFamily &FamilyOfChip(const QString &vendor, const QString &partName)
{
    const PartFacts *facts = FactsOfPart(vendor, partName);
    return facts ? PartLayouts::kLayouts[facts->layout] : DefaultFamily();
}

bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2)
{
    const uint8_t bits = status1 & family.protectionBits;
    // With CMP set, all BP bits set protect nothing and anything less protects
    // at least the rest of the array (BP all clear: all of it).
    // A part without Status Register-2 leaves the data line floating (FFh).
    const bool complement =
        family.complementBit != 0 && status2 != 0xFF && (status2 & family.complementBit) != 0;
    if (complement)
        return bits != family.protectionBits;
    return bits != 0;
}
