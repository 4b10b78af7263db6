#include "programmer/chips/updateplan.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint32_t kSector = 4 * 1024;
constexpr uint32_t kBlock = 64 * 1024;
// The write job checks the erased chip's first and last 4 KiB before it programs.
constexpr uint32_t kWholeChipBlankCheck = 2 * kSector;

qint64 ReadUs(uint32_t bytes)
{
    return qint64(bytes) * UpdateCost::kReadUsPerKiB / 1024;
}

// One unit of the chip's bytes as the update finds it.
struct Unit
{
    uint32_t start = 0;
    uint32_t length = 0;
    int dirtyPages = 0;      // pages where the chip differs from the wanted bytes
    int filledPages = 0;     // pages of the wanted bytes that hold anything but 0xFF
    bool needsErase = false; // a bit must rise from 0 to 1, which only an erase does
};

Unit Survey(const QByteArray &chip, const QByteArray &wanted, uint32_t start, uint32_t length,
            uint32_t pageSize)
{
    Unit unit{start, length};
    const auto *was = reinterpret_cast<const uint8_t *>(chip.constData());
    const auto *want = reinterpret_cast<const uint8_t *>(wanted.constData());
    for (uint32_t page = start; page < start + length; page += pageSize) {
        const uint32_t end = std::min(page + pageSize, start + length);
        bool dirty = false;
        bool filled = false;
        for (uint32_t at = page; at < end; ++at) {
            dirty = dirty || was[at] != want[at];
            unit.needsErase = unit.needsErase || (want[at] & ~was[at]) != 0;
            filled = filled || want[at] != 0xFF;
        }
        unit.dirtyPages += dirty;
        unit.filledPages += filled;
    }
    return unit;
}

// Erased on its own (when it must be) or only programmed where it differs.
qint64 UnitCost(const Unit &unit, qint64 eraseUs)
{
    if (unit.needsErase)
        return eraseUs + unit.filledPages * UpdateCost::kPageProgramUs + ReadUs(unit.length);
    if (unit.dirtyPages > 0)
        return unit.dirtyPages * UpdateCost::kPageProgramUs + ReadUs(unit.length);
    return 0;
}

void Touch(UpdatePlan &plan, uint32_t start, uint32_t length)
{
    if (!plan.readBack.isEmpty() &&
        plan.readBack.last().start + plan.readBack.last().length == start)
        plan.readBack.last().length += length;
    else
        plan.readBack.append({start, length});
}

void CopyPages(QByteArray &program, const QByteArray &chip, const QByteArray &wanted,
               const Unit &unit, uint32_t pageSize, bool erased)
{
    for (uint32_t page = unit.start; page < unit.start + unit.length; page += pageSize) {
        const int length = int(std::min(pageSize, unit.start + unit.length - page));
        // After an erase every page is 0xFF; otherwise only a page that differs is programmed.
        if (erased ||
            std::memcmp(chip.constData() + page, wanted.constData() + page, size_t(length)) != 0)
            program.replace(int(page), length, wanted.constData() + page, length);
    }
}

// The units of one 64 KiB block, each erased alone or the block erased whole, whichever costs
// less; adds them to the plan.
void PlanBlock(UpdatePlan &plan, const QByteArray &chip, const QByteArray &wanted,
               uint32_t blockStart, UnitErases units, uint32_t pageSize)
{
    const uint32_t blockLength = std::min<uint32_t>(kBlock, uint32_t(chip.size()) - blockStart);
    const uint32_t unitLength = units.sectors ? kSector : kBlock;
    const qint64 unitEraseUs =
        units.sectors ? UpdateCost::kSectorEraseUs : UpdateCost::kBlockEraseUs;
    QVector<Unit> parts;
    qint64 partsUs = 0;
    Unit block{blockStart, blockLength};
    for (uint32_t at = blockStart; at < blockStart + blockLength; at += unitLength) {
        parts << Survey(chip, wanted, at, std::min(unitLength, blockStart + blockLength - at),
                        pageSize);
        partsUs += UnitCost(parts.last(), unitEraseUs);
        block.filledPages += parts.last().filledPages;
        block.needsErase = block.needsErase || parts.last().needsErase;
    }
    const qint64 blockUs = UnitCost(block, UpdateCost::kBlockEraseUs);
    if (units.sectors && units.blocks && block.needsErase && blockUs < partsUs) {
        plan.erases.append({blockStart, true});
        CopyPages(plan.program, chip, wanted, block, pageSize, true);
        Touch(plan, blockStart, blockLength);
        plan.costUs += blockUs;
        return;
    }
    for (const Unit &unit : parts) {
        if (unit.dirtyPages == 0)
            continue;
        if (unit.needsErase)
            plan.erases.append({unit.start, !units.sectors});
        CopyPages(plan.program, chip, wanted, unit, pageSize, unit.needsErase);
        Touch(plan, unit.start, unit.length);
    }
    plan.costUs += partsUs;
}

qint64 WholeChipCost(const QByteArray &wanted, int imageLength, uint32_t pageSize,
                     qint64 wholeChipEraseUs)
{
    int filledPages = 0;
    for (int page = 0; page < imageLength; page += int(pageSize)) {
        const char *data = wanted.constData() + page;
        const int length = std::min(int(pageSize), imageLength - page);
        filledPages +=
            std::any_of(data, data + length, [](char byte) { return byte != char(0xFF); });
    }
    return wholeChipEraseUs + filledPages * UpdateCost::kPageProgramUs +
           ReadUs(uint32_t(imageLength) + kWholeChipBlankCheck);
}
} // namespace

UpdatePlan PlanUpdate(const QByteArray &chip, const QByteArray &wanted, int imageLength,
                      UnitErases units, int pageSize, qint64 wholeChipEraseUs)
{
    const qint64 wholeUs =
        WholeChipCost(wanted, imageLength, uint32_t(pageSize), wholeChipEraseUs);
    UpdatePlan plan;
    if (units.sectors || units.blocks) {
        plan.program = QByteArray(chip.size(), char(0xFF));
        for (uint32_t block = 0; block < uint32_t(chip.size()); block += kBlock)
            PlanBlock(plan, chip, wanted, block, units, uint32_t(pageSize));
        const auto last = std::find_if(plan.program.crbegin(), plan.program.crend(),
                                       [](char byte) { return byte != char(0xFF); });
        plan.program.truncate(int(plan.program.crend() - last));
        if (plan.costUs <= wholeUs)
            return plan;
    }
    UpdatePlan whole;
    whole.wholeChip = true;
    whole.costUs = wholeUs;
    return whole;
}
