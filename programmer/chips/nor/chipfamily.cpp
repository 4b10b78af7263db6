#include "programmer/chips/nor/chipfamily.h"

#include "programmer/chips/nor/partlayouts.h"
#include "chipdb/chiprecord.h"

#include <QMap>

#include <algorithm>
#include <iterator>

namespace {
constexpr uint32_t kProtectionBlock = 64 * 1024;

bool Contradicts(QuadEnable ofLayout, QuadEnable ofChip)
{
    return ofLayout != QuadEnable::Unknown && ofChip != QuadEnable::Unknown && ofLayout != ofChip;
}

ChipFamily MergedFamily(const QList<const ChipFamily *> &families)
{
    ChipFamily merged = *families.first();
    for (const ChipFamily *family : families.mid(1)) {
        if (qstrcmp(family->name, merged.name) != 0)
            merged.name = "merged";
        merged.protectionBits |= family->protectionBits;
        // A range bit of one part may protect on another: it then counts as protection.
        merged.topBottomBit &= family->topBottomBit;
        merged.sectorBit &= family->sectorBit;
        merged.complementBit |= family->complementBit;
        merged.complementBit3 |= family->complementBit3;
        merged.lockBit |= family->lockBit;
        merged.errorBits |= family->errorBits;
        merged.keepBits |= family->keepBits;
        merged.keepBits2 |= family->keepBits2;
        merged.keepBits3 |= family->keepBits3;
        if (family->quadEnable != merged.quadEnable)
            merged.quadEnable = QuadEnable::Unknown;
        merged.clearing |= family->clearing;
        merged.fourByteMode |= family->fourByteMode;
        // 35h and 70h are sent only where every part takes them as the layouts say.
        merged.probesStatus2 = merged.probesStatus2 && family->probesStatus2;
        merged.flagStatus = merged.flagStatus && family->flagStatus;
        merged.oneByteWriteClears2 = merged.oneByteWriteClears2 || family->oneByteWriteClears2;
        if (family->blockLockMode != merged.blockLockMode)
            merged.blockLockMode = BlockLockMode::None;
    }
    return merged;
}

// An SST part takes one byte per 02h: its auto-address-increment programming
// suits the others too. Among page sizes the smallest suits every part.
QString MergedPage(const QList<ChipRecord> &rows)
{
    QString page = rows.first().page;
    for (const ChipRecord &row : rows) {
        const bool sst = row.page.startsWith(QLatin1String("SST"));
        if (sst && (!page.startsWith(QLatin1String("SST")) || row.page == QLatin1String("SSTB")))
            page = row.page;
        else if (!sst && !page.startsWith(QLatin1String("SST")) && row.page.toInt() < page.toInt())
            page = row.page;
    }
    return page;
}
} // namespace

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

int LayoutIndexByName(const QString &name)
{
    const auto begin = std::cbegin(PartLayouts::kLayouts);
    const auto end = std::cend(PartLayouts::kLayouts);
    const auto found = std::find_if(begin, end, [&name](const ChipFamily &family) {
        return name == QLatin1String(family.name);
    });
    return found == end ? -1 : int(found - begin);
}

bool IdAnswerOfText(const QString &text, IdAnswer &answer)
{
    static const QMap<QString, IdAnswer> answers = {
        {QStringLiteral("9F"), IdAnswer::Jedec},
        {QStringLiteral("9F7F"), IdAnswer::JedecContinuation},
        {QStringLiteral("90"), IdAnswer::Rems},
        {QStringLiteral("AB"), IdAnswer::Res},
        {QStringLiteral("15"), IdAnswer::AtmelProductId}};
    const auto found = answers.constFind(text);
    if (found == answers.cend())
        return false;
    answer = *found;
    return true;
}

bool WholeChipEraseOfText(const QString &text, PartFacts &facts)
{
    facts.dies = 1;
    facts.dieSelect = false;
    if (text.isEmpty() || text == QLatin1String("62") || text == QLatin1String("D8")) {
        facts.erase = text.isEmpty()                ? WholeChipErase::ChipErase
                      : text == QLatin1String("62") ? WholeChipErase::AtmelChipErase
                                                    : WholeChipErase::BlockByBlock;
        return true;
    }
    // A die erase in each of N dies (C4xN), or N dies chosen by C2h, each erased by C7h.
    const QString kind = text.left(3);
    bool counted = false;
    const uint dies = text.mid(3).toUInt(&counted, 10);
    if ((kind != QLatin1String("C4x") && kind != QLatin1String("C2x")) || !counted || dies < 2 ||
        dies > 16)
        return false;
    facts.dieSelect = kind == QLatin1String("C2x");
    facts.erase = facts.dieSelect ? WholeChipErase::ChipErase : WholeChipErase::DieErase;
    facts.dies = uint8_t(dies);
    return true;
}

PartFacts FactsOfRow(const ChipRecord &row)
{
    PartFacts facts{"", "", 0, IdAnswer::Jedec, WholeChipErase::ChipErase, 1, false};
    if (row.layout.isEmpty()) {
        const PartFacts *known = FactsOfPart(row.vendor, row.partName);
        return known ? *known : facts;
    }
    // A user's rows are checked when read: what does not resolve keeps the defaults.
    facts.layout = std::max(0, LayoutIndexByName(row.layout));
    IdAnswerOfText(row.idcmd, facts.idAnswer);
    if (!WholeChipEraseOfText(row.erase, facts))
        facts.erase = WholeChipErase::ChipErase;
    return facts;
}

const ChipFamily &FamilyOfRow(const ChipRecord &row)
{
    if (row.layout.isEmpty())
        return FamilyOfChip(row.vendor, row.partName);
    return PartLayouts::kLayouts[FactsOfRow(row).layout];
}

QuadEnable QuadEnableOfRequirements(int requirements)
{
    switch (requirements) {
    case 0:
        return QuadEnable::None;
    case 1:
    case 4:
    case 5:
    case 6:
        return QuadEnable::Status2Bit1;
    case 2:
        return QuadEnable::Status1Bit6;
    case 3:
        return QuadEnable::Status2Bit7;
    default:
        return QuadEnable::Unknown;
    }
}

void KeepQuadEnable(ChipFamily &family, QuadEnable quadEnable)
{
    if (quadEnable == QuadEnable::Status1Bit6)
        family.keepBits |= 0x40;
    else if (quadEnable == QuadEnable::Status2Bit1)
        family.keepBits2 |= 0x02;
}

void ApplyQuadEnableRequirements(ChipFamily &family, int requirements)
{
    KeepQuadEnable(family, QuadEnableOfRequirements(requirements));
    using namespace ProtectionClearing;
    const bool viaStatus2Write = requirements == 6;
    const bool sixteenBitWrite = requirements == 1 || requirements == 4 || requirements == 5;
    // Known requirements say where Quad Enable is: 35h is sent only where they name it.
    if (requirements >= 0 && requirements <= 6)
        family.probesStatus2 = false;
    if (!viaStatus2Write && !sixteenBitWrite)
        return;
    // Status Register-2 is there and read by 35h: every bit but CMP is written back as read.
    family.keepBits2 |= uint8_t(~family.complementBit);
    family.oneByteWriteClears2 = requirements == 1 || requirements == 5;
    if (viaStatus2Write) {
        if (family.clearing & (StatusWrite | StatusWriteBoth))
            family.clearing =
                (family.clearing & ~(StatusWrite | StatusWriteBoth)) | StatusWriteSeparate;
    } else if ((family.clearing & StatusWrite) && !(family.clearing & StatusWriteSeparate)) {
        // A layout that writes Status Register-2 by 31h alone keeps its way.
        family.clearing = (family.clearing & ~StatusWrite) | StatusWriteBoth;
    }
}

SettledChip SettleParts(const QList<ChipRecord> &rows, int quadEnableRequirements)
{
    const QuadEnable quadEnable = QuadEnableOfRequirements(quadEnableRequirements);
    QList<const ChipFamily *> families;
    QList<const ChipFamily *> agreeing;
    QList<PartFacts> facts;
    for (const ChipRecord &row : rows) {
        const ChipFamily *family = &FamilyOfRow(row);
        families << family;
        if (!Contradicts(family->quadEnable, quadEnable))
            agreeing << family;
        facts << FactsOfRow(row);
    }
    SettledChip settled;
    // When SFDP contradicts every row, the rows are what is known of the part.
    settled.family = MergedFamily(agreeing.isEmpty() ? families : agreeing);
    ApplyQuadEnableRequirements(settled.family, quadEnableRequirements);
    settled.page = MergedPage(rows);
    // The rows' own erase where they agree, a die erase for the most dies
    // (which covers fewer); 64 KiB blocks, which every part erases, where not.
    const PartFacts &first = facts.first();
    const bool agree = std::all_of(facts.cbegin(), facts.cend(), [&first](const PartFacts &part) {
        return part.erase == first.erase && part.dieSelect == first.dieSelect;
    });
    settled.erase = agree ? first.erase : WholeChipErase::BlockByBlock;
    settled.dieSelect = agree && first.dieSelect;
    for (const PartFacts &part : facts)
        settled.dies = agree ? std::max(settled.dies, int(part.dies)) : 1;
    return settled;
}

bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2, uint8_t status3,
                      uint32_t chipSize)
{
    const uint8_t bits = status1 & family.protectionBits;
    // A part without Status Register-2 or -3 leaves the data line floating (FFh).
    const bool complement =
        (family.complementBit != 0 && status2 != 0xFF && (status2 & family.complementBit) != 0) ||
        (family.complementBit3 != 0 && status3 != 0xFF && (status3 & family.complementBit3) != 0);
    if (!complement)
        return bits != 0;
    // With CMP set, BP3..BP0 counting 64 KiB blocks (2^(BP-1) of them) protect
    // nothing once they cover the whole array: from 1010 on at 32 MiB.
    if (family.protectionBits == 0x3C && family.topBottomBit == 0x40 &&
        chipSize >= kProtectionBlock) {
        int wholeArray = 1;
        for (uint32_t blocks = chipSize / kProtectionBlock; blocks > 1; blocks >>= 1)
            ++wholeArray;
        return (bits >> 2) < wholeArray;
    }
    // Otherwise all BP bits set protect nothing and anything less protects at
    // least the rest of the array (BP all clear: all of it).
    return bits != family.protectionBits;
}
