#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"

#include <QMetaMethod>

namespace {
// SST26 Configuration Register (35h) bit BPNV: clear once any block has been
// locked for good.
constexpr uint8_t kSst26BlocksVolatile = 0x08;
} // namespace

QString CH341::StatusHex(uint8_t status)
{
    return QString::number(status, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

bool CH341::ReadsStatus2() const
{
    return Family->complementBit != 0 || Family->clearing == ProtectionClearing::GlobalBlockUnlock;
}

QString CH341::StatusText(uint8_t status1, uint8_t status2) const
{
    // Follows "0x": "1C", or "00 0x42" where Status Register-2 takes part.
    if (!ReadsStatus2())
        return StatusHex(status1);
    return StatusHex(status1) + QStringLiteral(" 0x") + StatusHex(status2);
}

void CH341::AnswerClearProtection(bool clear)
{
    m_clearProtection = clear;
    m_protectionAnswered.release();
}

bool CH341::ReadProtectionStatus(uint8_t &status1, uint8_t &status2)
{
    status2 = 0;
    m_blocksLocked = false;
    if (!ReadStatus(status1))
        return false;
    if (!ReadsStatus2())
        return true;
    if (!ReadRegister(SpiOpcode::RDSR2, status2))
        return false;
    if (Family->clearing != ProtectionClearing::GlobalBlockUnlock)
        return true;
    // SST26: a bit per 64 KiB block but the top and bottom ones, which come as a 32 KiB block
    // and four 8 KiB blocks of two bits each: (blocks of 64 KiB) / 8 + 2 bytes, all read.
    SpiSend(0, 1, QByteArray(1, char(SpiOpcode::RBPR)));
    QByteArray blocks;
    SpiReceive(int(ChipSize / 0x10000 / 8 + 2), blocks);
    m_blocksLocked = blocks.count('\0') != blocks.size();
    return !TransferFailed;
}

bool CH341::IsProtected(uint8_t status1, uint8_t status2) const
{
    if (Family->clearing == ProtectionClearing::GlobalBlockUnlock)
        return m_blocksLocked;
    return IsWriteProtected(*Family, status1, status2);
}

bool CH341::AskOperator(const QMetaMethod &question, const std::function<void()> &ask)
{
    if (!isSignalConnected(question))
        return false;
    ask();
    // The worker thread sleeps while the operator thinks.
    m_protectionAnswered.acquire();
    if (!m_clearProtection)
        m_outcome = JobOutcome::Declined;
    return m_clearProtection;
}

bool CH341::AskToClearProtection(const QString &status)
{
    return AskOperator(QMetaMethod::fromSignal(&CH341::ClearProtection_Question),
                       [this, &status] { emit ClearProtection_Question(status); });
}

bool CH341::MakeChipWritable()
{
    uint8_t status1 = 0;
    uint8_t status2 = 0;
    if (!ReadProtectionStatus(status1, status2)) {
        LogTransferFailure();
        return false;
    }
    // A flag left by an earlier failure keeps the chip busy: nothing would run.
    if (status1 & Family->errorBits)
        SendSingleByteCommand(SpiOpcode::CLSR);
    if (!IsProtected(status1, status2))
        return true;
    const QString status = StatusText(status1, status2);
    if (Family->clearing == ProtectionClearing::GlobalBlockUnlock &&
        (status2 & kSst26BlocksVolatile) == 0) {
        Log(QStringLiteral("Protection Locked: Blocks Locked for Good! Status Register: 0x%1")
                .arg(status),
            "red");
        return false;
    }
    if (!AskToClearProtection(status)) {
        Log(QStringLiteral("Chip is Write Protected! Status Register: 0x%1").arg(status), "red");
        return false;
    }
    Log(QStringLiteral("Clearing Write Protection... "), "black", 1, false);
    return ClearProtection(status1, status2);
}

QList<QByteArray> CH341::ProtectionClearingWrites(uint8_t status1, uint8_t status2) const
{
    const uint8_t kept = status1 & ~Family->protectionBits & ~(SpiStatus::BUSY | SpiStatus::WEL);
    // Status Register-2 keeps its other bits (QE above all).
    const uint8_t kept2 = status2 & ~Family->complementBit;
    const bool hasStatus2 = Family->complementBit != 0 && status2 != 0xFF;
    const QByteArray write1 = QByteArray(1, char(SpiOpcode::WRSR)) + char(kept);
    switch (Family->clearing) {
    case ProtectionClearing::StatusWrite:
    case ProtectionClearing::EnableWriteStatus:
        return {write1};
    case ProtectionClearing::StatusWriteBoth:
        return {hasStatus2 ? write1 + char(kept2) : write1};
    case ProtectionClearing::StatusWriteSeparate:
        if (!hasStatus2 || (status2 & Family->complementBit) == 0)
            return {write1};
        return {write1, QByteArray(1, char(SpiOpcode::WRSR2)) + char(kept2)};
    case ProtectionClearing::GlobalUnprotect: {
        // The first write clears SPRL (possible only with WP# high); the
        // sectors follow only once SPRL reads 0.
        const QByteArray unprotect = QByteArray(1, char(SpiOpcode::WRSR)) + '\0';
        if (status1 & ChipStatus::REGISTER_PROTECT)
            return {unprotect, unprotect};
        return {unprotect};
    }
    case ProtectionClearing::GlobalBlockUnlock:
        return {QByteArray(1, char(SpiOpcode::ULBPR))};
    }
    return {};
}

bool CH341::ClearProtection(uint8_t status1, uint8_t status2)
{
    for (const QByteArray &frame : ProtectionClearingWrites(status1, status2)) {
        if (Family->clearing == ProtectionClearing::EnableWriteStatus)
            SendSingleByteCommand(SpiOpcode::EWSR);
        else
            WriteEnable();
        SpiSend(1, static_cast<unsigned int>(frame.size()), frame);
        const WaitResult wait = WaitWhileProgramming(StatusWriteTimeoutMs);
        if (wait == WaitResult::TimedOut) {
            LogTimeout();
            return false;
        }
        if (wait == WaitResult::TransferFailed)
            break;
    }
    WriteDisable();
    uint8_t after1 = 0;
    uint8_t after2 = 0;
    if (TransferFailed || !ReadProtectionStatus(after1, after2)) {
        LogTransferFailure();
        return false;
    }
    if (!IsProtected(after1, after2)) {
        LogOk();
        return true;
    }
    LogProtectionLocked(after1, after2);
    return false;
}

void CH341::LogProtectionLocked(uint8_t status1, uint8_t status2)
{
    const QString status = StatusText(status1, status2);
    const bool srp1 =
        Family->complementBit != 0 && status2 != 0xFF && (status2 & ChipStatus::SRP1) != 0;
    const bool srp0 = (status1 & ChipStatus::REGISTER_PROTECT) != 0;
    // SRP1 with SRP0 clear holds until the chip loses power; with SRP0 set
    // (and Winbond's lock bits) for ever. SRP0, SRWD, BPL or SPRL alone hold
    // only while WP# is low.
    if (srp1 && !srp0)
        Log(QStringLiteral("Protection Locked until Power-Down: Unplug and Re-plug the "
                           "Programmer! Status Register: 0x%1")
                .arg(status),
            "red");
    else if (srp1)
        Log(QStringLiteral("Protection Locked by One-Time Lock Bits! Status Register: 0x%1")
                .arg(status),
            "red");
    else if (srp0)
        Log(QStringLiteral("Protection Locked: Status Register Protected and WP# Pin Low! "
                           "Status Register: 0x%1")
                .arg(status),
            "red");
    else
        Log(QStringLiteral("Protection Could Not Be Cleared! Status Register: 0x%1").arg(status),
            "red");
}
