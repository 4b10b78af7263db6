#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"

#include <QMetaMethod>

namespace {
// SST26 Configuration Register (35h) bit BPNV: clear once any block has been
// locked for good.
constexpr uint8_t kSst26BlocksVolatile = 0x08;

// The ways to clear, in the order they are tried: 01h with both registers
// first, since a one-byte 01h clears Status Register-2 on some of the parts
// that take both.
constexpr uint8_t kClearingOrder[] = {
    ProtectionClearing::StatusWriteBoth, ProtectionClearing::StatusWriteSeparate,
    ProtectionClearing::StatusWrite,     ProtectionClearing::EnableWriteStatus,
    ProtectionClearing::GlobalUnprotect, ProtectionClearing::GlobalBlockUnlock};
} // namespace

QString CH341::StatusHex(uint8_t status)
{
    return QString::number(status, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

bool CH341::ReadsStatus2() const
{
    return Family->complementBit != 0 || Family->lockBit != 0 || Family->keepBits2 != 0 ||
           (Family->clearing & ProtectionClearing::GlobalBlockUnlock) != 0;
}

bool CH341::ReadsStatus3() const
{
    return Family->complementBit3 != 0;
}

QString CH341::StatusText(const StatusRegisters &status) const
{
    // Follows "0x": "1C", or "00 0x42" where Status Register-2 takes part.
    QString text = StatusHex(status.status1);
    if (ReadsStatus2())
        text += QStringLiteral(" 0x") + StatusHex(status.status2);
    if (ReadsStatus3())
        text += QStringLiteral(" 0x") + StatusHex(status.status3);
    return text;
}

void CH341::AnswerClearProtection(bool clear)
{
    m_clearProtection = clear;
    m_protectionAnswered.release();
}

bool CH341::ReadProtectionStatus(StatusRegisters &status)
{
    status = StatusRegisters();
    m_blocksLocked = false;
    if (!ReadStatus(status.status1))
        return false;
    if (ReadsStatus2() && !ReadRegister(SpiOpcode::RDSR2, status.status2))
        return false;
    if (ReadsStatus3() && !ReadRegister(SpiOpcode::RDSR3, status.status3))
        return false;
    if ((Family->clearing & ProtectionClearing::GlobalBlockUnlock) == 0)
        return true;
    // SST26: a bit per 64 KiB block but the top and bottom ones, which come as a 32 KiB block
    // and four 8 KiB blocks of two bits each: (blocks of 64 KiB) / 8 + 2 bytes, all read.
    SpiSend(0, 1, QByteArray(1, char(SpiOpcode::RBPR)));
    QByteArray blocks;
    SpiReceive(int(ChipSize / 0x10000 / 8 + 2), blocks);
    m_blocksLocked = blocks.count('\0') != blocks.size();
    return !TransferFailed;
}

bool CH341::IsProtected(const StatusRegisters &status) const
{
    if (Family->clearing & ProtectionClearing::GlobalBlockUnlock)
        return m_blocksLocked;
    return IsWriteProtected(*Family, status.status1, status.status2, status.status3, DieSize());
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
    // Parts that share the identifier but disagree: the chip's own SFDP
    // narrows them before anything is judged.
    if (PartsDisagree()) {
        ReadSfdpOnce();
        ApplySettlement();
    }
    m_protectionConsent = false;
    for (int die = 0; die < StackedDies(); ++die) {
        SelectDie(die);
        if (!MakeDieWritable())
            return false;
    }
    SelectDie(0);
    return true;
}

bool CH341::MakeDieWritable()
{
    StatusRegisters status;
    if (!ReadProtectionStatus(status)) {
        LogTransferFailure();
        return false;
    }
    // A flag left by an earlier failure keeps the chip busy: nothing would
    // run. Where another part of the identifier protects with that bit, what
    // stays after 30h is protection.
    if (status.status1 & Family->errorBits) {
        SendSingleByteCommand(SpiOpcode::CLSR);
        if (!ReadProtectionStatus(status)) {
            LogTransferFailure();
            return false;
        }
    }
    if (!IsProtected(status))
        return true;
    const QString text = StatusText(status);
    if ((Family->clearing & ProtectionClearing::GlobalBlockUnlock) &&
        (status.status2 & kSst26BlocksVolatile) == 0) {
        Log(QStringLiteral("Protection Locked: Blocks Locked for Good! Status Register: 0x%1")
                .arg(text),
            "red");
        return false;
    }
    if (!m_protectionConsent && !AskToClearProtection(text)) {
        Log(QStringLiteral("Chip is Write Protected! Status Register: 0x%1").arg(text), "red");
        return false;
    }
    m_protectionConsent = true;
    Log(QStringLiteral("Clearing Write Protection... "), "black", 1, false);
    // Where the chip's SFDP names its Quad Enable bit, that bit is kept
    // whatever the chip list says.
    ReadSfdpOnce();
    ApplySettlement();
    return ClearProtection(status);
}

QList<QByteArray> CH341::ProtectionClearingWrites(uint8_t method,
                                                  const StatusRegisters &status) const
{
    const uint8_t cleared1 = Family->protectionBits & ~Family->keepBits;
    const uint8_t cleared2 = Family->complementBit & ~Family->keepBits2;
    const uint8_t cleared3 = Family->complementBit3 & ~Family->keepBits3;
    const uint8_t kept = status.status1 & ~cleared1 & ~(SpiStatus::BUSY | SpiStatus::WEL);
    // Status Register-2 keeps its other bits (QE above all).
    const uint8_t kept2 = status.status2 & ~cleared2;
    const bool hasStatus2 = ReadsStatus2() && status.status2 != 0xFF;
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
        // The first write clears SPRL (possible only with WP# high); the
        // sectors follow only once SPRL reads 0.
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

bool CH341::MayTryAfterIgnored(uint8_t method, const StatusRegisters &status) const
{
    // A one-byte 01h may clear the second register (QE, QUAD) of a part that
    // takes both registers together; it follows an ignored write only where
    // 31h writes that register back or there is none.
    const bool oneByte = method == ProtectionClearing::StatusWrite ||
                         method == ProtectionClearing::EnableWriteStatus;
    return !oneByte || (Family->clearing & ProtectionClearing::StatusWriteBoth) == 0 ||
           !ReadsStatus2() || status.status2 == 0xFF;
}

bool CH341::ClearProtection(StatusRegisters status)
{
    bool first = true;
    for (const uint8_t method : kClearingOrder) {
        if ((Family->clearing & method) == 0)
            continue;
        if (!first && !MayTryAfterIgnored(method, status))
            break;
        first = false;
        for (const QByteArray &frame : ProtectionClearingWrites(method, status)) {
            if (method == ProtectionClearing::EnableWriteStatus)
                SendSingleByteCommand(SpiOpcode::EWSR);
            else
                WriteEnable();
            SpiSend(1, static_cast<unsigned int>(frame.size()), frame);
            const WaitResult wait = WaitWhileProgramming(StatusWriteTimeoutMs, true);
            if (wait == WaitResult::TimedOut) {
                LogTimeout();
                return false;
            }
            if (wait == WaitResult::TransferFailed)
                break;
        }
        WriteDisable();
        StatusRegisters after;
        if (TransferFailed || !ReadProtectionStatus(after)) {
            LogTransferFailure();
            return false;
        }
        if (!IsProtected(after)) {
            LogOk();
            return true;
        }
        // A write that changed something took effect: what stays is locked.
        const bool ignored = (after.status1 & ~(SpiStatus::BUSY | SpiStatus::WEL)) ==
                                 (status.status1 & ~(SpiStatus::BUSY | SpiStatus::WEL)) &&
                             after.status2 == status.status2 && after.status3 == status.status3;
        status = after;
        if (!ignored)
            break;
    }
    LogProtectionLocked(status);
    return false;
}

void CH341::LogProtectionLocked(const StatusRegisters &status)
{
    const QString text = StatusText(status);
    const bool srp1 =
        Family->lockBit != 0 && status.status2 != 0xFF && (status.status2 & Family->lockBit) != 0;
    const bool srp0 = (status.status1 & ChipStatus::REGISTER_PROTECT) != 0;
    // SRP1 with SRP0 clear holds until the chip loses power; with SRP0 set
    // (and Winbond's lock bits) for ever. SRP0, SRWD, BPL or SPRL alone hold
    // only while WP# is low.
    if (srp1 && !srp0)
        Log(QStringLiteral("Protection Locked until Power-Down: Unplug and Re-plug the "
                           "Programmer! Status Register: 0x%1")
                .arg(text),
            "red");
    else if (srp1)
        Log(QStringLiteral("Protection Locked by One-Time Lock Bits! Status Register: 0x%1")
                .arg(text),
            "red");
    else if (srp0)
        Log(QStringLiteral("Protection Locked: Status Register Protected and WP# Pin Low! "
                           "Status Register: 0x%1")
                .arg(text),
            "red");
    else
        Log(QStringLiteral("Protection Could Not Be Cleared! Status Register: 0x%1").arg(text),
            "red");
}
