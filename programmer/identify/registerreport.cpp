#include "programmer/identify/registerreport.h"

#include "programmer/chips/nor/chipfamily.h"
#include "programmer/chips/nor/chipprotection.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/jobs/joblog.h"
#include "programmer/chips/nor/sfdp.h"
#include "programmer/chips/nor/spiopcodes.h"

#include <QPair>
#include <QVector>

#include <algorithm>

namespace {
using NamedBits = QVector<QPair<uint8_t, QString>>;

// "0x1C: SRP0 0, SEC 0, TB 0, BP2 1, BP1 1, BP0 1", most significant bit first.
QString Decoded(uint8_t value, NamedBits bits)
{
    // A bit that rows of one identifier name differently carries every name ("BP3/E_ERR").
    std::stable_sort(bits.begin(), bits.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList named;
    for (int i = 0; i < bits.size(); ++i) {
        QString name = bits.at(i).second;
        while (i + 1 < bits.size() && bits.at(i + 1).first == bits.at(i).first)
            name += '/' + bits.at(++i).second;
        named << name + (value & bits.at(i).first ? QStringLiteral(" 1") : QStringLiteral(" 0"));
    }
    return QStringLiteral("0x") + JobLog::hexByte(value) +
           (named.isEmpty() ? QString() : QStringLiteral(": ") + named.join(QLatin1String(", ")));
}

NamedBits Status1Bits(const ChipFamily &family)
{
    NamedBits bits = {{SpiStatus::BUSY, QStringLiteral("BUSY")},
                      {SpiStatus::WEL, QStringLiteral("WEL")}};
    const bool atmel = family.clearing & ProtectionClearing::GlobalUnprotect;
    int level = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (family.protectionBits & (1 << bit))
            bits.append(
                {uint8_t(1 << bit), (atmel ? QStringLiteral("SWP") : QStringLiteral("BP")) +
                                        QString::number(level++)});
    }
    if (family.topBottomBit)
        bits.append({family.topBottomBit, QStringLiteral("TB")});
    if (family.sectorBit)
        bits.append({family.sectorBit, QStringLiteral("SEC")});
    if (family.errorBits & 0x20)
        bits.append({0x20, QStringLiteral("E_ERR")});
    if (family.errorBits & 0x40)
        bits.append({0x40, QStringLiteral("P_ERR")});
    if (family.quadEnable == QuadEnable::Status1Bit6)
        bits.append({0x40, QStringLiteral("QE")});
    const QString registerProtect = family.clearing & ProtectionClearing::EnableWriteStatus
                                        ? QStringLiteral("BPL")
                                    : atmel          ? QStringLiteral("SPRL")
                                    : family.lockBit ? QStringLiteral("SRP0")
                                                     : QStringLiteral("SRWD");
    bits.append({ChipStatus::REGISTER_PROTECT, registerProtect});
    return bits;
}

NamedBits Status2Bits(const ChipFamily &family)
{
    // SST26: the configuration register's BPNV, clear once a block is locked for good.
    if (family.clearing & ProtectionClearing::GlobalBlockUnlock)
        return {{0x08, QStringLiteral("BPNV")}};
    NamedBits bits;
    if (family.complementBit)
        bits.append({family.complementBit, QStringLiteral("CMP")});
    if (family.quadEnable == QuadEnable::Status2Bit1)
        bits.append({0x02, QStringLiteral("QE")});
    if (family.lockBit)
        bits.append({family.lockBit, QStringLiteral("SRP1")});
    return bits;
}

NamedBits Status3Bits(const ChipFamily &family)
{
    NamedBits bits;
    if (family.complementBit3)
        bits.append({family.complementBit3, QStringLiteral("CMP")});
    if (family.blockLockMode == BlockLockMode::Status3Bit2)
        bits.append({0x04, QStringLiteral("WPS")});
    return bits;
}

QString ProtectionText(const ChipProtection &protection, const StatusRegisters &status,
                       const ChipFamily &family)
{
    if (!protection.isProtected(status))
        return QStringLiteral("Off");
    if (status.blockLocksOn)
        return QStringLiteral("On: Individual Block Locks");
    if (family.clearing & ProtectionClearing::GlobalBlockUnlock)
        return protection.lockedForGood(status)
                   ? QStringLiteral("On: Block-Protection Register, Blocks Locked for Good")
                   : QStringLiteral("On: Block-Protection Register");
    switch (protection.lockOf(status)) {
    case ChipProtection::Lock::UntilPowerDown:
        return QStringLiteral("On: BP Bits, Locked until Power-Down (SRP1)");
    case ChipProtection::Lock::OneTimeLockBits:
        return QStringLiteral("On: BP Bits, Locked for Good (SRP1 and SRP0)");
    case ChipProtection::Lock::WriteProtectPin:
        return QStringLiteral("On: BP Bits, Status Register Protected while WP# Is Low");
    case ChipProtection::Lock::Unknown:
        break;
    }
    return QStringLiteral("On: BP Bits");
}

QString SfdpText(const SfdpFacts &sfdp)
{
    if (sfdp.density == 0)
        return QStringLiteral("None");
    QStringList erases;
    for (const auto &[opcode, bytes] : sfdp.eraseTypes)
        erases << QStringLiteral("%1 KiB by %2h").arg(bytes / 1024).arg(JobLog::hexByte(opcode));
    QString text = QStringLiteral("Capacity (Byte): %1, Erase Types: %2")
                       .arg(sfdp.density)
                       .arg(erases.isEmpty() ? QStringLiteral("None") : erases.join(", "));
    if (sfdp.quadEnableRequirements >= 0)
        text += QStringLiteral(", Quad Enable Requirements: %1b")
                    .arg(sfdp.quadEnableRequirements, 3, 2, QLatin1Char('0'));
    return text;
}
} // namespace

bool LogChipRegisters(FlashChip &chip, JobLog &log)
{
    if (!chip.family())
        return true;
    const SfdpFacts &sfdp = chip.sfdp();
    chip.settle();
    const ChipFamily &family = *chip.family();
    ChipProtection protection(chip, 0);
    StatusRegisters status;
    if (chip.failed() || !protection.read(status))
        return false;
    const auto line = [&log](const QString &label, const QString &value) {
        log(label + QStringLiteral(": "), "black", 1, false);
        log(value, "blue");
    };
    line(QStringLiteral("Status Register-1"), Decoded(status.status1, Status1Bits(family)));
    if (protection.readsStatus2())
        line(family.clearing & ProtectionClearing::GlobalBlockUnlock
                 ? QStringLiteral("Configuration Register")
                 : QStringLiteral("Status Register-2"),
             Decoded(status.status2, Status2Bits(family)));
    if (status.status3 != 0xFF || protection.readsStatus3())
        line(QStringLiteral("Status Register-3"), Decoded(status.status3, Status3Bits(family)));
    if (protection.readsSecurity())
        line(QStringLiteral("Security Register"),
             Decoded(status.security, {{0x80, QStringLiteral("WPSEL")}}));
    uint8_t flags = 0;
    if (family.flagStatus) {
        if (!chip.readRegister(SpiOpcode::RFSR, flags))
            return false;
        line(QStringLiteral("Flag Status Register"),
             Decoded(flags, {{FlagStatus::READY, QStringLiteral("READY")},
                             {FlagStatus::ERASE_ERROR, QStringLiteral("ERASE")},
                             {FlagStatus::PROGRAM_ERROR, QStringLiteral("PROGRAM")},
                             {FlagStatus::PROTECTION_ERROR, QStringLiteral("PROTECTION")}}));
    }
    line(QStringLiteral("Write Protection"), ProtectionText(protection, status, family));
    line(QStringLiteral("SFDP"), SfdpText(sfdp));
    return !chip.failed();
}
