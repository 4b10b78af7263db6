#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"

#include <QMetaMethod>

QString CH341::StatusHex(uint8_t status)
{
    return QString::number(status, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

void CH341::AnswerClearProtection(bool clear)
{
    m_clearProtection = clear;
    m_protectionAnswered.release();
}

bool CH341::ReadProtectionStatus(uint8_t &status1, uint8_t &status2)
{
    status2 = 0;
    if (!ReadStatus(status1))
        return false;
    if (Family->hasComplementBit && !ReadRegister(SpiOpcode::RDSR2, status2))
        return false;
    // A value read after a failed transfer is no answer of the chip's.
    return !TransferFailed;
}

bool CH341::AskToClearProtection(uint8_t status1)
{
    if (!isSignalConnected(QMetaMethod::fromSignal(&CH341::ClearProtection_Question)))
        return false;
    emit ClearProtection_Question(StatusHex(status1));
    // The worker thread sleeps while the operator thinks.
    m_protectionAnswered.acquire();
    return m_clearProtection;
}

bool CH341::MakeChipWritable()
{
    uint8_t status1 = 0;
    uint8_t status2 = 0;
    if (!ReadProtectionStatus(status1, status2)) {
        LogTransferFailure();
        return false;
    }
    if (!IsWriteProtected(*Family, status1, status2))
        return true;
    if (!AskToClearProtection(status1)) {
        Log(QStringLiteral("Chip is Write Protected! Status Register: 0x%1")
                .arg(StatusHex(status1)),
            "red");
        return false;
    }
    Log(QStringLiteral("Clearing Write Protection... "), "black", 1, false);
    return ClearProtection(status1, status2);
}

bool CH341::ClearProtection(uint8_t status1, uint8_t status2)
{
    const uint8_t kept = status1 & ~Family->protectionBits & ~(SpiStatus::BUSY | SpiStatus::WEL);
    QByteArray write(1, char(SpiOpcode::WRSR));
    QList<QByteArray> statusWrites;
    switch (Family->clearing) {
    case ProtectionClearing::StatusWrite:
    case ProtectionClearing::EnableWriteStatus:
        write.append(char(kept));
        // Status Register-2 keeps its other bits (QE above all).
        if (Family->hasComplementBit && status2 != 0xFF)
            write.append(char(status2 & ~ChipStatus::COMPLEMENT));
        statusWrites << write;
        break;
    case ProtectionClearing::GlobalUnprotect:
        // The first write clears SPRL (possible only with WP# high); the
        // sectors follow only once SPRL reads 0.
        write.append('\0');
        if (status1 & ChipStatus::REGISTER_PROTECT)
            statusWrites << write;
        statusWrites << write;
        break;
    }
    for (const QByteArray &frame : statusWrites) {
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
    if (!IsWriteProtected(*Family, after1, after2)) {
        LogOk();
        return true;
    }
    const QString status = StatusHex(after1);
    // SRP1 (and Winbond's one-time lock bits) hold whatever WP# does; SRP0,
    // SRWD, BPL or SPRL hold only while WP# is low.
    if (Family->hasComplementBit && after2 != 0xFF && (after2 & ChipStatus::SRP1))
        Log(QStringLiteral("Protection Locked by One-Time Lock Bits! Status Register: 0x%1")
                .arg(status),
            "red");
    else if (after1 & ChipStatus::REGISTER_PROTECT)
        Log(QStringLiteral("Protection Locked: Status Register Protected and WP# Pin Low! "
                           "Status Register: 0x%1")
                .arg(status),
            "red");
    else
        Log(QStringLiteral("Protection Could Not Be Cleared! Status Register: 0x%1").arg(status),
            "red");
    return false;
}
