#include "chipprotection.h"

#include "chipfamily.h"
#include "flashchip.h"
#include "spiopcodes.h"
#include "spitransport.h"

namespace {
// SST26 Configuration Register (35h) bit BPNV: clear once any block has been locked for good.
constexpr uint8_t kSst26BlocksVolatile = 0x08;

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

ChipProtection::ChipProtection(FlashChip &chip, qint64 statusWriteTimeoutMs)
    : m_chip(chip)
    , m_statusWriteTimeoutMs(statusWriteTimeoutMs)
{
}

bool ChipProtection::readsStatus2() const
{
    const ChipFamily &family = *m_chip.family();
    return family.complementBit != 0 || family.lockBit != 0 || family.keepBits2 != 0 ||
           (family.clearing & ProtectionClearing::GlobalBlockUnlock) != 0;
}

bool ChipProtection::readsStatus3() const
{
    return m_chip.family()->complementBit3 != 0;
}

bool ChipProtection::read(StatusRegisters &status)
{
    status = StatusRegisters();
    m_blocksLocked = false;
    if (!m_chip.readStatus(status.status1))
        return false;
    if (readsStatus2() && !m_chip.readRegister(SpiOpcode::RDSR2, status.status2))
        return false;
    if (readsStatus3() && !m_chip.readRegister(SpiOpcode::RDSR3, status.status3))
        return false;
    if ((m_chip.family()->clearing & ProtectionClearing::GlobalBlockUnlock) == 0)
        return true;
    // SST26: a bit per 64 KiB block but the top and bottom ones, which come as a 32 KiB block
    // and four 8 KiB blocks of two bits each: (blocks of 64 KiB) / 8 + 2 bytes, all read.
    m_chip.bus().send(QByteArray(1, char(SpiOpcode::RBPR)), true);
    QByteArray blocks;
    m_chip.bus().receive(int(m_chip.size() / 0x10000 / 8 + 2), blocks);
    m_blocksLocked = blocks.count('\0') != blocks.size();
    return !m_chip.failed();
}

bool ChipProtection::isProtected(const StatusRegisters &status) const
{
    const ChipFamily &family = *m_chip.family();
    if (family.clearing & ProtectionClearing::GlobalBlockUnlock)
        return m_blocksLocked;
    return IsWriteProtected(family, status.status1, status.status2, status.status3,
                            m_chip.dieSize());
}

bool ChipProtection::lockedForGood(const StatusRegisters &status) const
{
    return (m_chip.family()->clearing & ProtectionClearing::GlobalBlockUnlock) &&
           (status.status2 & kSst26BlocksVolatile) == 0;
}

QList<QByteArray> ChipProtection::clearingWrites(uint8_t method,
                                                 const StatusRegisters &status) const
{
    const ChipFamily &family = *m_chip.family();
    const uint8_t cleared1 = family.protectionBits & ~family.keepBits;
    const uint8_t cleared2 = family.complementBit & ~family.keepBits2;
    const uint8_t cleared3 = family.complementBit3 & ~family.keepBits3;
    const uint8_t kept = status.status1 & ~cleared1 & ~(SpiStatus::BUSY | SpiStatus::WEL);
    // Status Register-2 keeps its other bits (QE above all).
    const uint8_t kept2 = status.status2 & ~cleared2;
    const bool hasStatus2 = readsStatus2() && status.status2 != 0xFF;
    const QByteArray write1 = QByteArray(1, char(SpiOpcode::WRSR)) + char(kept);
    QList<QByteArray> writes;
    switch (method) {
    case ProtectionClearing::StatusWrite:
    case ProtectionClearing::EnableWriteStatus:
        writes = {write1};
        break;
    case ProtectionClearing::StatusWriteBoth:
        writes = {hasStatus2 ? write1 + char(kept2) : write1};
        break;
    case ProtectionClearing::StatusWriteSeparate:
        writes = {write1};
        if (hasStatus2 && (status.status2 & cleared2) != 0)
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
    bool first = true;
    for (const uint8_t method : kClearingOrder) {
        if ((m_chip.family()->clearing & method) == 0)
            continue;
        if (!first && !mayTryAfterIgnored(method, status))
            break;
        first = false;
        for (const QByteArray &frame : clearingWrites(method, status)) {
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
