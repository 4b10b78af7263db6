#include "programmer/jobs/ch341.h"

#include "programmer/chips/eeprom/eeprom25xx.h"
#include "programmer/chips/nor/chipprotection.h"
#include "programmer/identify/supplyvoltage.h"

#include <QMetaMethod>

namespace {
// Follows "0x": "1C", or "00 0x42" where Status Register-2 takes part.
QString StatusText(const ChipProtection &protection, const StatusRegisters &status)
{
    QString text = JobLog::hexByte(status.status1);
    if (protection.readsStatus2())
        text += QStringLiteral(" 0x") + JobLog::hexByte(status.status2);
    if (protection.readsStatus3())
        text += QStringLiteral(" 0x") + JobLog::hexByte(status.status3);
    // The register that switched the part to individual block locks.
    if (status.blockLocksOn) {
        const uint8_t mode = protection.readsSecurity() ? status.security : status.status3;
        if (!protection.readsStatus3() || protection.readsSecurity())
            text += QStringLiteral(" 0x") + JobLog::hexByte(mode);
        text += QStringLiteral(", Block Locks On");
    }
    return text;
}

QString LockedText(ChipProtection::Lock lock)
{
    switch (lock) {
    case ChipProtection::Lock::UntilPowerDown:
        return QStringLiteral("Protection Locked until Power-Down: Unplug and Re-plug the "
                              "Programmer! Status Register: 0x%1");
    case ChipProtection::Lock::OneTimeLockBits:
        return QStringLiteral("Protection Locked by One-Time Lock Bits! Status Register: 0x%1");
    case ChipProtection::Lock::WriteProtectPin:
        return QStringLiteral("Protection Locked: Status Register Protected and WP# Pin Low! "
                              "Status Register: 0x%1");
    case ChipProtection::Lock::Unknown:
        break;
    }
    return QStringLiteral("Protection Could Not Be Cleared! Status Register: 0x%1");
}
} // namespace

bool CH341::MakeChipWritable()
{
    // Before the first status write, erase or program: the warning never stops the job, since
    // an adapter may already be in place.
    if (NeedsLowVoltageAdapter(m_chip.rows()))
        m_log(QStringLiteral("Warning: a Part of at most %1 V on a Programmer that Drives 3.3 V! "
                             "Use a 1.8 V Adapter, or the Chip May Overheat or Be Damaged.")
                  .arg(HighestSupplyText(m_chip.rows())),
              "red");
    // Parts that share the identifier but disagree: the chip's own SFDP narrows them before
    // anything is judged.
    if (m_chip.partsDisagree()) {
        m_chip.sfdp();
        m_chip.settle();
    }
    bool consent = false;
    for (int die = 0; die < m_chip.stackedDies(); ++die) {
        m_chip.selectDie(die);
        if (!MakeDieWritable(consent))
            return false;
    }
    m_chip.selectDie(0);
    return true;
}

bool CH341::MakeDieWritable(bool &consent)
{
    ChipProtection protection(m_chip, StatusWriteTimeoutMs);
    StatusRegisters status;
    if (!protection.read(status)) {
        m_log.transferFailure();
        return false;
    }
    // A flag left by an earlier failure keeps the chip busy: nothing would run. Where another
    // part of the identifier protects with that bit, what stays after 30h is protection.
    if (m_chip.clearErrorFlags() && !protection.read(status)) {
        m_log.transferFailure();
        return false;
    }
    if (!protection.isProtected(status))
        return true;
    const QString text = StatusText(protection, status);
    if (protection.lockedForGood(status)) {
        m_log(QStringLiteral("Protection Locked: Blocks Locked for Good! Status Register: 0x%1")
                  .arg(text),
              "red");
        return false;
    }
    if (!consent && !AskOperator(QMetaMethod::fromSignal(&CH341::ClearProtection_Question),
                                 [this, &text] { emit ClearProtection_Question(text); })) {
        m_log(QStringLiteral("Chip is Write Protected! Status Register: 0x%1").arg(text), "red");
        return false;
    }
    consent = true;
    m_log(QStringLiteral("Clearing Write Protection... "), "black", 1, false);
    // Where the chip's SFDP names its Quad Enable bit, that bit is kept whatever the chip list
    // says.
    m_chip.sfdp();
    m_chip.settle();
    switch (protection.clear(status)) {
    case ChipProtection::ClearResult::Cleared:
        m_log.ok();
        return true;
    case ChipProtection::ClearResult::TimedOut:
        m_log.timeout();
        return false;
    case ChipProtection::ClearResult::TransferFailed:
        m_log.transferFailure();
        return false;
    case ChipProtection::ClearResult::Locked:
        break;
    }
    m_log(LockedText(protection.lockOf(status)).arg(StatusText(protection, status)), "red");
    return false;
}

bool CH341::MakeEepromWritable()
{
    // Only the 25xx carry protection bits; a 24xx's WP pin and a 93xx's EWEN are the write's.
    if (m_eeprom->bus != EepromBus::Spi)
        return true;
    Eeprom25xx eeprom(m_bus, *m_eeprom, m_progress);
    uint8_t status = 0;
    if (!eeprom.readStatus(status)) {
        m_log.transferFailure();
        return false;
    }
    if ((status & Eeprom25xx::kBlockProtectBits) == 0)
        return true;
    // BP1:BP0 guard a quarter, a half or all of the part: the same question as for flash.
    const QString text = JobLog::hexByte(status);
    if (!AskOperator(QMetaMethod::fromSignal(&CH341::ClearProtection_Question),
                     [this, &text] { emit ClearProtection_Question(text); })) {
        m_log(QStringLiteral("Chip is Write Protected! Status Register: 0x%1").arg(text), "red");
        return false;
    }
    m_log(QStringLiteral("Clearing Write Protection... "), "black", 1, false);
    switch (eeprom.clearProtection(status)) {
    case Eeprom25xx::Done:
        m_log.ok();
        return true;
    case Eeprom25xx::TimedOut:
        m_log.timeout();
        return false;
    case Eeprom25xx::Differs:
        m_log(LockedText(ChipProtection::Lock::WriteProtectPin).arg(JobLog::hexByte(status)),
              "red");
        return false;
    default:
        m_log.transferFailure();
        return false;
    }
}
