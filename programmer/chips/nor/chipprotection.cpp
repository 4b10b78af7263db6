#include "programmer/chips/nor/chipprotection.h"

#include "programmer/chips/nor/chipfamily.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"

namespace {
// SST26 Configuration Register (35h) bit BPNV: clear once any block has been locked for good.
constexpr uint8_t kSst26BlocksVolatile = 0x08;
// Winbond WPS (Status Register-3 bit 2) and Macronix WPSEL (Security Register bit 7): the
// individual block locks rule and the BP bits are ignored.
constexpr uint8_t kWriteProtectSelection3 = 0x04;
constexpr uint8_t kWriteProtectSelectionSecurity = 0x80;
// Individual block locks: one per 64 KiB block, one per 4 KiB sector in the first and the
// last block; 3Dh (3Ch) answers bit 0 set for a locked one.
constexpr uint32_t kLockBlock = 0x10000;
constexpr uint32_t kLockSector = 0x1000;
constexpr uint8_t kLocked = 0x01;

// The ways to clear, in the order they are tried: 01h with both registers first, since a
// one-byte 01h clears Status Register-2 on some of the parts that take both.
constexpr uint8_t kClearingOrder[] = {
    ProtectionClearing::StatusWriteBoth, ProtectionClearing::StatusWriteSeparate,
    ProtectionClearing::StatusWrite,     ProtectionClearing::EnableWriteStatus,
    ProtectionClearing::GlobalUnprotect, ProtectionClearing::GlobalBlockUnlock};

bool Unchanged(const StatusRegisters &before, const StatusRegisters &after)
{
    const uint8_t volatileBits = SpiStatus::BUSY | SpiStatus::WEL;
    return (after.status1 & ~volatileBits) == (before.status1 & ~volatileBits) &&
           after.status2 == before.status2 && after.status3 == before.status3;
}
} // namespace

QList<QByteArray> StatusClearWrites(const ChipFamily &family, uint8_t method,
                                    const StatusRegisters &status, bool status2Answers)
{
    const uint8_t cleared1 = family.protectionBits & ~family.keepBits;
    const uint8_t cleared2 = family.complementBit & ~family.keepBits2;
    const uint8_t cleared3 = family.complementBit3 & ~family.keepBits3;
    const uint8_t kept = status.status1 & ~cleared1 & ~(SpiStatus::BUSY | SpiStatus::WEL);
    // Status Register-2 keeps its other bits (QE above all).
    const uint8_t kept2 = status.status2 & ~cleared2;
    const QByteArray write1 = QByteArray(1, char(SpiOpcode::WRSR)) + char(kept);
    QList<QByteArray> writes;
    switch (method) {
    case ProtectionClearing::StatusWrite:
    case ProtectionClearing::EnableWriteStatus:
        // A register the layout did not know, found by the probe, goes back with the first.
        writes = {status2Answers && family.probesStatus2 ? write1 + char(kept2) : write1};
        break;
    case ProtectionClearing::StatusWriteBoth:
        writes = {status2Answers ? write1 + char(kept2) : write1};
        break;
    case ProtectionClearing::StatusWriteSeparate:
        writes = {write1};
        if (status2Answers && ((status.status2 & cleared2) != 0 || family.oneByteWriteClears2))
            writes << QByteArray(1, char(SpiOpcode::WRSR2)) + char(kept2);
        break;
    case ProtectionClearing::GlobalUnprotect: {
        // The first write clears SPRL (possible only with WP# high); the sectors follow only
        // once SPRL reads 0.
        const QByteArray unprotect = QByteArray(1, char(SpiOpcode::WRSR)) + '\0';
        if (status.status1 & ChipStatus::REGISTER_PROTECT)
            return {unprotect, unprotect};
        return {unprotect};
    }
    case ProtectionClearing::GlobalBlockUnlock:
        return {QByteArray(1, char(SpiOpcode::ULBPR))};
    default:
        return {};
    }
    if (status.status3 != 0xFF && (status.status3 & cleared3) != 0)
        writes << QByteArray(1, char(SpiOpcode::WRSR3)) + char(status.status3 & ~cleared3);
    return writes;
}

ChipProtection::ChipProtection(FlashChip &chip, qint64 statusWriteTimeoutMs)
    : m_chip(chip)
    , m_statusWriteTimeoutMs(statusWriteTimeoutMs)
{
}

bool ChipProtection::readsStatus2() const
{
    const ChipFamily &family = *m_chip.family();
    return family.complementBit != 0 || family.lockBit != 0 || family.keepBits2 != 0 ||
           (family.clearing & ProtectionClearing::GlobalBlockUnlock) != 0 || m_status2Probed;
}

bool ChipProtection::readsStatus3() const
{
    return m_chip.family()->complementBit3 != 0;
}

bool ChipProtection::readsSecurity() const
{
    return m_chip.family()->blockLockMode == BlockLockMode::SecurityBit7;
}

bool ChipProtection::read(StatusRegisters &status)
{
    status = StatusRegisters();
    m_blocksLocked = false;
    if (!m_chip.readStatus(status.status1))
        return false;
    if (readsStatus2() && !m_chip.readRegister(SpiOpcode::RDSR2, status.status2))
        return false;
    const bool lockMode3 = m_chip.family()->blockLockMode == BlockLockMode::Status3Bit2;
    if ((readsStatus3() || lockMode3) && !m_chip.readRegister(SpiOpcode::RDSR3, status.status3))
        return false;
    if (readsSecurity() && !m_chip.readRegister(SpiOpcode::RDSCUR, status.security))
        return false;
    if ((m_chip.family()->clearing & ProtectionClearing::GlobalBlockUnlock) == 0)
        return readBlockLocks(status);
    // SST26: a bit per 64 KiB block but the top and bottom ones, which come as a 32 KiB block
    // and four 8 KiB blocks of two bits each: (blocks of 64 KiB) / 8 + 2 bytes, all read.
    m_chip.bus().send(QByteArray(1, char(SpiOpcode::RBPR)), true);
    QByteArray blocks;
    m_chip.bus().receive(int(m_chip.size() / 0x10000 / 8 + 2), blocks);
    m_blocksLocked = blocks.count('\0') != blocks.size();
    return !m_chip.failed();
}

bool ChipProtection::readBlockLocks(StatusRegisters &status)
{
    // A part without the register leaves the data line floating (FFh).
    const BlockLockMode mode = m_chip.family()->blockLockMode;
    status.blockLocksOn = (mode == BlockLockMode::Status3Bit2 && status.status3 != 0xFF &&
                           (status.status3 & kWriteProtectSelection3) != 0) ||
                          (mode == BlockLockMode::SecurityBit7 && status.security != 0xFF &&
                           (status.security & kWriteProtectSelectionSecurity) != 0);
    if (!status.blockLocksOn)
        return true;
    const uint8_t opcode =
        mode == BlockLockMode::Status3Bit2 ? SpiOpcode::RDBLK : SpiOpcode::RDBLOCK;
    const uint32_t size = m_chip.dieSize();
    const bool fourByteAddress = m_chip.needsFourByteAddress(size);
    if (fourByteAddress)
        m_chip.enterFourByteMode();
    int frameLength = 0;
    int count = 0;
    for (uint32_t at = 0; at < size && !m_chip.failed();
         at += (at < kLockBlock || at >= size - kLockBlock) ? kLockSector : kLockBlock) {
        const QByteArray frame = m_chip.addressedHeader(opcode, at, fourByteAddress) + char(0xFF);
        frameLength = frame.size();
        m_chip.bus().queueWithAnswer(frame);
        ++count;
    }
    QByteArray answers(count * frameLength, '\0');
    if (!m_chip.failed())
        m_chip.bus().readQueuedAnswers(answers);
    if (fourByteAddress)
        m_chip.exitFourByteMode();
    for (int lock = 0; lock < count; ++lock)
        m_blocksLocked = m_blocksLocked || (answers.at((lock + 1) * frameLength - 1) & kLocked);
    return !m_chip.failed();
}

bool ChipProtection::probeStatus2(StatusRegisters &status)
{
    if (!m_chip.family()->probesStatus2 || readsStatus2())
        return true;
    uint8_t value = 0xFF;
    if (!m_chip.readRegister(SpiOpcode::RDSR2, value))
        return false;
    // FFh: a part without the register leaves the data line floating.
    m_status2Probed = value != 0xFF;
    status.status2 = value;
    return true;
}

uint8_t ChipProtection::clearingMethods(const StatusRegisters &status) const
{
    // With individual block locks the BP bits count for nothing: only the global unlock helps.
    return status.blockLocksOn ? ProtectionClearing::GlobalBlockUnlock : m_chip.family()->clearing;
}

bool ChipProtection::isProtected(const StatusRegisters &status) const
{
    const ChipFamily &family = *m_chip.family();
    if ((family.clearing & ProtectionClearing::GlobalBlockUnlock) || status.blockLocksOn)
        return m_blocksLocked;
    return IsWriteProtected(family, status.status1, status.status2, status.status3,
                            m_chip.dieSize());
}

bool ChipProtection::lockedForGood(const StatusRegisters &status) const
{
    return (m_chip.family()->clearing & ProtectionClearing::GlobalBlockUnlock) &&
           (status.status2 & kSst26BlocksVolatile) == 0;
}

bool ChipProtection::mayTryAfterIgnored(uint8_t method, const StatusRegisters &status) const
{
    // A one-byte 01h may clear the second register (QE, QUAD) of a part that takes both
    // registers together; it follows an ignored write only where 31h writes that register back
    // or there is none.
    const bool oneByte = method == ProtectionClearing::StatusWrite ||
                         method == ProtectionClearing::EnableWriteStatus;
    return !oneByte || (m_chip.family()->clearing & ProtectionClearing::StatusWriteBoth) == 0 ||
           !readsStatus2() || status.status2 == 0xFF;
}

ChipProtection::ClearResult ChipProtection::clear(StatusRegisters &status)
{
    if (!probeStatus2(status))
        return ClearResult::TransferFailed;
    const uint8_t methods = clearingMethods(status);
    bool first = true;
    for (const uint8_t method : kClearingOrder) {
        if ((methods & method) == 0)
            continue;
        if (!first && !mayTryAfterIgnored(method, status))
            break;
        first = false;
        const bool status2Answers = readsStatus2() && status.status2 != 0xFF;
        for (const QByteArray &frame :
             StatusClearWrites(*m_chip.family(), method, status, status2Answers)) {
            if (method == ProtectionClearing::EnableWriteStatus)
                m_chip.command(SpiOpcode::EWSR);
            else
                m_chip.writeEnable();
            m_chip.bus().send(frame);
            const WaitResult wait = m_chip.waitWhileProgramming(m_statusWriteTimeoutMs, true);
            if (wait == WaitResult::TimedOut)
                return ClearResult::TimedOut;
            if (wait == WaitResult::TransferFailed)
                break;
        }
        m_chip.writeDisable();
        StatusRegisters after;
        if (m_chip.failed() || !read(after))
            return ClearResult::TransferFailed;
        // A write that changed something took effect: what stays is locked.
        const bool ignored = Unchanged(status, after);
        status = after;
        if (!isProtected(after))
            return ClearResult::Cleared;
        if (!ignored)
            break;
    }
    return ClearResult::Locked;
}

ChipProtection::Lock ChipProtection::lockOf(const StatusRegisters &status) const
{
    const uint8_t lockBit = m_chip.family()->lockBit;
    const bool srp1 = lockBit != 0 && status.status2 != 0xFF && (status.status2 & lockBit) != 0;
    const bool srp0 = (status.status1 & ChipStatus::REGISTER_PROTECT) != 0;
    // SRP1 with SRP0 clear holds until the chip loses power; with SRP0 set (and Winbond's lock
    // bits) for ever. SRP0, SRWD, BPL or SPRL alone hold only while WP# is low.
    if (srp1)
        return srp0 ? Lock::OneTimeLockBits : Lock::UntilPowerDown;
    return srp0 ? Lock::WriteProtectPin : Lock::Unknown;
}
