#include "ch341.h"

#include "dumptarget.h"
#include "spiopcodes.h"
#include "tracelog.h"
#include "updateplan.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

namespace {
constexpr uint32_t kSectorBytes = 4 * 1024;
constexpr uint32_t kBlockBytes = 64 * 1024;
constexpr int kDefaultPage = 256;

// A part's name as a file name: anything a file system or a shell could take amiss becomes "_".
QString FileNamePart(QString name)
{
    static const QString kAllowed = QStringLiteral("+-._");
    for (QChar &character : name) {
        if (character.unicode() >= 128 ||
            (!character.isLetterOrNumber() && !kAllowed.contains(character)))
            character = QLatin1Char('_');
    }
    return name;
}

QString ErasingText(const QVector<UnitErase> &erases)
{
    const int blocks = int(std::count_if(erases.cbegin(), erases.cend(),
                                         [](const UnitErase &erase) { return erase.block; }));
    const int sectors = erases.size() - blocks;
    QStringList parts;
    if (sectors > 0)
        parts << QStringLiteral("%1 Sector%2 (4 KiB)").arg(sectors).arg(sectors == 1 ? "" : "s");
    if (blocks > 0)
        parts << QStringLiteral("%1 Block%2 (64 KiB)").arg(blocks).arg(blocks == 1 ? "" : "s");
    return QStringLiteral("Erasing ") + parts.join(QLatin1String(" and ")) +
           QStringLiteral("... ");
}
} // namespace

void CH341::DoUpdateFlash()
{
    QByteArray image;
    if (!StartImageJob(image, EmptyImage::Refused))
        return;
    // Nothing that could change the chip is sent before its contents are safe on disk.
    QByteArray chip;
    if (!ReadWholeChip(chip) || !SaveBackup(chip)) {
        EndJob();
        return;
    }
    // The chip ends as the write job leaves it: the image, then erased bytes.
    const QByteArray wanted = image + QByteArray(int(ChipSize) - image.size(), char(0xFF));
    if (chip == wanted) {
        Log(QStringLiteral("Chip Already Holds the File"), "green");
        LogChecksums(image);
        m_outcome = JobOutcome::Succeeded;
        EndJob();
        return;
    }
    const UnitErases units = ChipUnitErases();
    if (TransferFailed) {
        LogTransferFailure();
        EndJob();
        return;
    }
    const int page = ChunkSize(ChipPage, kDefaultPage);
    const UpdatePlan plan = PlanUpdate(chip, wanted, image.size(), units,
                                       page > 0 ? page : kDefaultPage, WholeChipEraseUs());
    qCDebug(varnockTrace) << "update.plan" << (plan.wholeChip ? "whole chip" : "units")
                          << plan.erases.size() << plan.program.size() << plan.costUs;
    if (plan.wholeChip)
        WriteAfterChipErase(image);
    else
        UpdateChanged(plan, wanted, image);
    EndJob();
}

bool CH341::ReadWholeChip(QByteArray &chip)
{
    Log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    const int read =
        TransferFailed ? -1 : ReadFlashData(int(ChipSize), WholeChipChunkSpec(), &chip);
    if (read != 1) {
        LogRoutineFailure(read);
        return false;
    }
    LogOk();
    return true;
}

bool CH341::SaveBackup(const QByteArray &chip)
{
    QString reason = QStringLiteral("No folder given");
    if (!BackupFolder.isEmpty() && !QDir().mkpath(BackupFolder)) {
        reason = QStringLiteral("The folder cannot be made");
    } else if (!BackupFolder.isEmpty()) {
        const QString path = FreeBackupPath();
        // A new file, whole under its name or not there at all.
        DumpTarget backup(path);
        if (backup.open() && backup.save(chip)) {
            Log(QStringLiteral("Backup of the Chip Saved in:"), "black");
            Log(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), "blue");
            LogChecksums(chip);
            return true;
        }
        reason = backup.errorString();
    }
    Log(QStringLiteral("Failed to Save the Backup: Nothing Was Erased."), "red");
    Log(QStringLiteral("Cannot Save the Backup in %1: %2")
            .arg(QDir::toNativeSeparators(QFileInfo(BackupFolder).absoluteFilePath()), reason),
        "red");
    return false;
}

QString CH341::FreeBackupPath() const
{
    const QString part = m_candidates.isEmpty() ? QStringLiteral("chip")
                                                : FileNamePart(m_candidates.last().partName);
    const QString stem =
        QDir(BackupFolder)
            .filePath(part + QLatin1Char('_') +
                      QDateTime::currentDateTime().toString(QStringLiteral("HHmmss")));
    // A backup is never replaced: it may be the only copy of the firmware.
    QString path = stem + QStringLiteral(".bin");
    for (int copy = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++copy)
        path = stem + QStringLiteral("_%1.bin").arg(copy);
    return path;
}

UnitErases CH341::ChipUnitErases()
{
    UnitErases units;
    // Parts without a bulk erase erase 64 KiB with D8h, and have no 4 KiB erase.
    if (m_settled.erase == WholeChipErase::BlockByBlock) {
        units.blocks = true;
        return units;
    }
    // The 25 series' 4 KiB erase; the first one is read back, so a part that ignores 20h is
    // found out before anything is programmed.
    units.sectors = true;
    const SfdpFacts &sfdp = ReadSfdpOnce();
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

qint64 CH341::WholeChipEraseUs() const
{
    if (m_settled.erase == WholeChipErase::BlockByBlock)
        return qint64(ChipSize / kBlockBytes) * UpdateCost::kBlockEraseUs;
    return qint64(ChipSize) * UpdateCost::kChipEraseUsPerMiB / (1 << 20);
}

void CH341::UpdateChanged(const UpdatePlan &plan, const QByteArray &wanted,
                          const QByteArray &image)
{
    if (!MakeChipWritable())
        return;
    if (TransferFailed) {
        LogTransferFailure();
        return;
    }
    const UnitEraseResult erased =
        plan.erases.isEmpty() ? UnitEraseResult::Done : EraseUnits(plan.erases);
    if (erased == UnitEraseResult::Failed)
        return;
    if (erased == UnitEraseResult::SectorEraseIgnored) {
        WriteAfterChipErase(image);
        return;
    }
    Log(QStringLiteral("Writing to Chip... "), "black", 1, false);
    const int written = ProgramPlanned(plan);
    if (written == -3)
        LogTimeout();
    else if (written != 1)
        LogRoutineFailure(written);
    else
        ProveWritten(plan.readBack, wanted, image);
}

CH341::UnitEraseResult CH341::EraseUnits(const QVector<UnitErase> &erases)
{
    Log(ErasingText(erases), "black", 1, false);
    emit SetProgreesBar_MaxValue(qulonglong(erases.size()));
    emit UpdateProgreesBar_Value(0);
    const bool fourByteAddress = NeedsFourByteAddress(ChipSize);
    if (fourByteAddress)
        EnterFourByteMode();
    auto leave = qScopeGuard([this, fourByteAddress] { LeaveAddressing(fourByteAddress); });
    bool sectorChecked = false;
    for (int i = 0; i < erases.size(); ++i) {
        const UnitErase &erase = erases.at(i);
        const uint32_t address = DieAddress(erase.address, fourByteAddress);
        const uint8_t opcode = erase.block ? SpiOpcode::BE : SpiOpcode::SE;
        if (!EraseStep(AddressedHeader(opcode, address, fourByteAddress), erase.address, false,
                       false))
            return UnitEraseResult::Failed;
        if (!erase.block && !sectorChecked) {
            sectorChecked = true;
            QByteArray sector;
            if (!ReadCommand(AddressedHeader(SpiOpcode::READ, address, fourByteAddress),
                             int(kSectorBytes), sector)) {
                LogTransferFailure();
                return UnitEraseResult::Failed;
            }
            if (!IsErased(sector)) {
                Log(QStringLiteral("4 KiB Erase Not Taken: the Whole Chip Instead"), "black");
                return UnitEraseResult::SectorEraseIgnored;
            }
        }
        emit Set_Label_Status_TEXT(
            QStringLiteral("Erase [%1 / %2]").arg(i + 1).arg(erases.size()));
        emit UpdateProgreesBar_Value(qulonglong(i + 1));
    }
    leave.dismiss();
    LeaveAddressing(fourByteAddress);
    if (!SendQueuedCommands()) {
        LogTransferFailure();
        return UnitEraseResult::Failed;
    }
    LogOk();
    return UnitEraseResult::Done;
}

int CH341::ProgramPlanned(const UpdatePlan &plan)
{
    if (TransferFailed)
        return -1;
    if (ChipPage != QLatin1String("SSTW") && ChipPage != QLatin1String("SSTB"))
        return WriteFlashData(plan.program.size(), ChipPage, plan.program);
    // AAI programs on from the address it starts at: one run for each stretch touched.
    for (const ChipSpan &span : plan.readBack) {
        const QByteArray run = plan.program.mid(int(span.start), int(span.length));
        if (run.isEmpty() || IsErased(run))
            continue;
        const int written = WriteFlashDataAai(ChipPage, run, span.start);
        if (written != 1)
            return written;
    }
    return 1;
}
