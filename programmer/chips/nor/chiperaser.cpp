#include "programmer/chips/nor/chiperaser.h"

#include "programmer/chips/chipprogress.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/chips/nor/pageprogrammer.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"
#include "programmer/transport/tracecategory.h"

#include <QScopeGuard>

#include <algorithm>

namespace {
constexpr uint32_t kSectorBytes = 4 * 1024;
// The block a chip without a bulk erase is erased by, one after the other (D8h).
constexpr uint32_t kBlockBytes = 64 * 1024;
} // namespace

ChipEraser::ChipEraser(FlashChip &chip, ChipProgress &progress, qint64 timeoutMs)
    : m_chip(chip)
    , m_progress(progress)
    , m_timeoutMs(timeoutMs)
{
}

ChipEraser::Result ChipEraser::eraseWholeChip(bool tracePolls)
{
    const SettledChip &settled = m_chip.settled();
    if (settled.erase == WholeChipErase::ChipErase ||
        settled.erase == WholeChipErase::AtmelChipErase) {
        const char opcode =
            char(settled.erase == WholeChipErase::ChipErase ? SpiOpcode::CE : SpiOpcode::CE_AT25F);
        // Stacked dies: each erases only itself.
        for (int die = 0; die < m_chip.stackedDies(); ++die) {
            m_chip.selectDie(die);
            const Result erased = step(QByteArray(1, opcode), 0, tracePolls, die == 0);
            if (erased != Result::Done)
                return erased;
        }
        m_chip.selectDie(0);
        return Result::Done;
    }
    // Parts without C7h: a die erase with an address in each die, or a block erase for every
    // 64 KiB.
    const bool dies = settled.erase == WholeChipErase::DieErase;
    const uint8_t opcode = dies ? SpiOpcode::DE : SpiOpcode::BE;
    const uint32_t size = m_chip.size();
    const uint32_t stride = dies ? size / uint32_t(qMax(settled.dies, 1)) : kBlockBytes;
    const bool fourByteAddress = m_chip.needsFourByteAddress(size);
    if (fourByteAddress)
        m_chip.enterFourByteMode();
    for (uint32_t address = 0; address < size; address += stride) {
        const Result erased = step(m_chip.addressedHeader(opcode, address, fourByteAddress),
                                   address, tracePolls, address == 0);
        if (erased != Result::Done)
            return erased;
    }
    if (fourByteAddress)
        m_chip.exitFourByteMode();
    return Result::Done;
}

uint8_t ChipEraser::errorFlags() const
{
    return m_chip.lastFlagStatus();
}

ChipEraser::Result ChipEraser::step(const QByteArray &command, uint32_t address, bool tracePolls,
                                    bool announce)
{
    m_chip.writeEnable();
    if (tracePolls)
        qCDebug(varnockTrace) << "KKK";
    const qint64 sent = m_chip.bus().send(command);
    if (tracePolls)
        qCDebug(varnockTrace) << sent;
    if (announce)
        m_progress.eraseSent();
    if (m_chip.failed())
        return Result::TransferFailed;
    const WaitResult wait = m_chip.waitWhileErasing(m_timeoutMs, m_progress, tracePolls);
    if (wait == WaitResult::TimedOut)
        return Result::TimedOut;
    if (wait == WaitResult::TransferFailed)
        return Result::TransferFailed;
    // An erase error holds the chip busy until it is cleared; Micron reports it in its flags.
    if (m_chip.clearErrorFlags() || m_chip.takeFlagErrors()) {
        m_errorAddress = address;
        return Result::ChipError;
    }
    return Result::Done;
}

ChipEraser::Result ChipEraser::eraseUnits(const QVector<UnitErase> &erases)
{
    m_progress.started(ChipActivity::Erase, qulonglong(erases.size()));
    const bool fourByteAddress = m_chip.needsFourByteAddress(m_chip.size());
    if (fourByteAddress)
        m_chip.enterFourByteMode();
    auto leave = qScopeGuard([this, fourByteAddress] { m_chip.leaveAddressing(fourByteAddress); });
    bool sectorChecked = false;
    for (int i = 0; i < erases.size(); ++i) {
        const UnitErase &erase = erases.at(i);
        if (m_progress.stopRequested()) {
            m_reached = erase.address;
            leave.dismiss();
            m_chip.leaveAddressing(fourByteAddress);
            return m_chip.bus().flush() ? Result::Stopped : Result::TransferFailed;
        }
        const uint32_t address = m_chip.dieAddress(erase.address, fourByteAddress);
        const uint8_t opcode = erase.block ? SpiOpcode::BE : SpiOpcode::SE;
        const Result erased = step(m_chip.addressedHeader(opcode, address, fourByteAddress),
                                   erase.address, false, false);
        if (erased != Result::Done)
            return erased;
        if (!erase.block && !sectorChecked) {
            sectorChecked = true;
            QByteArray sector;
            if (!m_chip.readCommand(
                    m_chip.addressedHeader(SpiOpcode::READ, address, fourByteAddress),
                    int(kSectorBytes), sector))
                return Result::TransferFailed;
            if (!PageProgrammer::IsErased(sector))
                return Result::SectorEraseIgnored;
        }
        m_progress.advanced(ChipActivity::Erase, qulonglong(i + 1), qulonglong(erases.size()));
    }
    leave.dismiss();
    m_chip.leaveAddressing(fourByteAddress);
    return m_chip.bus().flush() ? Result::Done : Result::TransferFailed;
}

UnitErases ChipEraser::unitErases()
{
    UnitErases units;
    // Parts without a bulk erase erase 64 KiB with D8h, and have no 4 KiB erase.
    if (m_chip.settled().erase == WholeChipErase::BlockByBlock) {
        units.blocks = true;
        return units;
    }
    // The AT25F parts' only erases are 62h and their own 52h of 32 or 64 KiB: the whole chip.
    if (m_chip.settled().erase == WholeChipErase::AtmelChipErase)
        return units;
    // The 25 series' 4 KiB erase; the first one is read back, so a part that ignores 20h is
    // found out before anything is programmed.
    units.sectors = true;
    const SfdpFacts &sfdp = m_chip.sfdp();
    if (sfdp.density == 0)
        return units;
    // D8h erases 64 KiB on most parts, but 256 KiB, or blocks of 8 KiB and 32 KiB, on others:
    // it is used only where the chip's own table says 64 KiB.
    const auto byD8 = [](const QPair<uint8_t, uint32_t> &type) {
        return type.first == SpiOpcode::BE;
    };
    units.sectors = sfdp.sectorErase;
    units.blocks =
        std::any_of(sfdp.eraseTypes.cbegin(), sfdp.eraseTypes.cend(), byD8) &&
        std::all_of(sfdp.eraseTypes.cbegin(), sfdp.eraseTypes.cend(), [&byD8](const auto &type) {
            return !byD8(type) || type.second == kBlockBytes;
        });
    return units;
}

qint64 ChipEraser::wholeChipEraseUs() const
{
    if (m_chip.settled().erase == WholeChipErase::BlockByBlock)
        return qint64(m_chip.size() / kBlockBytes) * UpdateCost::kBlockEraseUs;
    return qint64(m_chip.size()) * UpdateCost::kChipEraseUsPerMiB / (1 << 20);
}
