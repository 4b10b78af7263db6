#pragma once

// ChipProtection: the chip's write protection as its layout describes it: the status registers
// (and SST26's block register) read, judged and cleared, every bit that is not protection
// written back as it was read. Worker thread.

#include <QByteArray>
#include <QList>

#include <cstdint>

class FlashChip;
struct ChipFamily;

// Status Register-1, -2 and -3 as a protection check read them; FFh: not read. Where the part
// has individual block locks: the register that selects them (Status Register-3 or the
// Macronix Security Register) and whether they are on.
struct StatusRegisters
{
    uint8_t status1 = 0;
    uint8_t status2 = 0xFF;
    uint8_t status3 = 0xFF;
    uint8_t security = 0xFF;
    bool blockLocksOn = false;
};

// The status writes that clear protection in one way (ProtectionClearing), each sent after
// its enable: every bit that is not protection written back as read. status2Answers: Status
// Register-2 was read and answered (not FFh).
QList<QByteArray> StatusClearWrites(const ChipFamily &family, uint8_t method,
                                    const StatusRegisters &status, bool status2Answers);

class ChipProtection
{
public:
    enum class ClearResult { Cleared, Locked, TimedOut, TransferFailed };
    // Why a protection stays after every way to clear it was tried.
    enum class Lock {
        UntilPowerDown,  // SRP1 with SRP0 clear
        OneTimeLockBits, // SRP1 with SRP0 set
        WriteProtectPin, // SRP0 (SRWD, BPL, SPRL) with WP# low
        Unknown,
    };

    // statusWriteTimeoutMs: the longest a status write may take.
    ChipProtection(FlashChip &chip, qint64 statusWriteTimeoutMs);

    // Status Register-1, and Status Register-2 (or the SST26 configuration register) and -3
    // where the layout uses them; SST26 also the block register.
    bool read(StatusRegisters &status);
    bool isProtected(const StatusRegisters &status) const;
    // SST26 blocks locked for good (BPNV clear): no clear can help.
    bool lockedForGood(const StatusRegisters &status) const;
    // Tries the layout's ways to clear, each only while the ones before it changed nothing;
    // status ends as the last read found the registers.
    ClearResult clear(StatusRegisters &status);
    Lock lockOf(const StatusRegisters &status) const;
    // Which registers the layout reads (and a status text shows).
    bool readsStatus2() const;
    bool readsStatus3() const;
    bool readsSecurity() const;

private:
    bool readBlockLocks(StatusRegisters &status);
    // Status Register-2 of a part whose layout does not know it: read before a clear.
    bool probeStatus2(StatusRegisters &status);
    uint8_t clearingMethods(const StatusRegisters &status) const;
    bool mayTryAfterIgnored(uint8_t method, const StatusRegisters &status) const;

    FlashChip &m_chip;
    qint64 m_statusWriteTimeoutMs;
    // SST26, or individual block locks on: the last read found a locked block.
    bool m_blocksLocked = false;
    // Status Register-2 answered the probe before a clear: read and written from then on.
    bool m_status2Probed = false;
};
