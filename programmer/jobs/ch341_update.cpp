#include "programmer/jobs/ch341.h"

#include "programmer/chips/nor/chiperaser.h"
#include "programmer/chips/nor/chipreader.h"
#include "programmer/jobs/jobfiles.h"
#include "programmer/jobs/jobregions.h"
#include "programmer/chips/nor/pageprogrammer.h"
#include "programmer/jobs/tracelog.h"
#include "programmer/chips/updateplan.h"

#include <algorithm>
#include <limits>

namespace {
constexpr int kDefaultPage = 256;
// Ranks a whole-chip erase behind any erase of units.
constexpr qint64 kNeverWholeChipUs = std::numeric_limits<qint64>::max() / 4;

// The chip's wanted bytes up to the last that is not 0xFF: what a write after a whole-chip
// erase programs.
QByteArray TrimmedErased(const QByteArray &wanted)
{
    const auto last = std::find_if(wanted.crbegin(), wanted.crend(),
                                   [](char byte) { return byte != char(0xFF); });
    return wanted.left(int(wanted.crend() - last));
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
    // A write of regions may take every byte from the regions' own files.
    const bool filesOnly =
        !Regions.included.isEmpty() &&
        std::all_of(Regions.included.cbegin(), Regions.included.cend(),
                    [](const IncludedRegion &region) { return !region.file.isEmpty(); });
    if (!StartImageJob(image, filesOnly ? EmptyImage::Allowed : EmptyImage::Refused))
        return;
    RegionBytes placed;
    if (!ResolveRegions(image.size()) ||
        (!m_regions.isEmpty() &&
         (!PlaceRegionBytes(image, placed) || !ImageFitsBoard(image, placed)))) {
        EndJob();
        return;
    }
    // Nothing that could change the chip is sent before its contents are safe on disk.
    m_log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    QByteArray chip;
    const int read = TransferFailed
                         ? -1
                         : ReadWholeChip(chip, QStringLiteral("No Backup Saved, Chip Unchanged"));
    if (read == ChipReader::kStopped)
        LogInterrupted(QStringLiteral("While Reading"),
                       QStringLiteral("the Chip Is Unchanged, No Backup Was Saved"));
    if (read != 1) {
        m_log.routineFailure(read);
        EndJob();
        return;
    }
    m_log.ok();
    m_backupPath = SaveBackup(
        BackupFolder, m_eeprom ? m_eeprom->name : BackupPartName(m_chip.rows()), chip, m_log);
    if (m_backupPath.isEmpty()) {
        EndJob();
        return;
    }
    if (m_eeprom) {
        UpdateEeprom(chip, image);
        EndJob();
        return;
    }
    // The chip ends as the write job leaves it: the image, then erased bytes.
    const QByteArray plain = image + QByteArray(int(ChipSize) - image.size(), char(0xFF));
    QByteArray wanted = plain;
    if (m_regions.isEmpty()) {
        if (!ChooseRegions(chip, image, wanted)) {
            EndJob();
            return;
        }
        m_log.smallerImage(
            image.size(), ChipSize,
            chip.mid(image.size()) == wanted.mid(image.size())
                ? QStringLiteral("the Rest of the Chip Is Erased Already and Stays as It Was")
                : QStringLiteral("the Rest of the Chip Is Erased, as Write Leaves It"));
    } else {
        // Everything outside the regions stays as the backup holds it.
        wanted = WithRegions(chip, placed);
    }
    if (chip == wanted) {
        m_log(QStringLiteral("Chip Already Holds the File"), "green");
        m_log.checksums(image);
        m_outcome = JobOutcome::Succeeded;
        EndJob();
        return;
    }
    ChipEraser eraser(m_chip, m_progress, ChipEraseTimeoutMs);
    const UnitErases units = eraser.unitErases();
    if (TransferFailed) {
        m_log.transferFailure();
        EndJob();
        return;
    }
    const int page = PageBytes(ChipPage, kDefaultPage);
    // A part of the chip is never written by erasing the whole chip while the part offers
    // smaller erases; where it has none, the whole chip is written back with the regions.
    const QByteArray programmed =
        m_regions.isEmpty() && wanted == plain ? image : TrimmedErased(wanted);
    const UpdatePlan plan =
        PlanUpdate(chip, wanted, programmed.size(), units, page > 0 ? page : kDefaultPage,
                   m_regions.isEmpty() ? eraser.wholeChipEraseUs() : kNeverWholeChipUs);
    qCDebug(varnockTrace) << "update.plan" << (plan.wholeChip ? "whole chip" : "units")
                          << plan.erases.size() << plan.program.size() << plan.costUs;
    if (plan.wholeChip)
        WriteAfterChipErase(programmed, &image);
    else
        UpdateChanged(plan, wanted, image);
    EndJob();
}

void CH341::UpdateEeprom(const QByteArray &chip, const QByteArray &image)
{
    // The chip ends as the write job leaves it: the image, then what it held.
    const QByteArray wanted = image + chip.mid(image.size());
    const QString rest = QStringLiteral("the Rest of the Chip Is as It Was");
    m_log.smallerImage(image.size(), ChipSize, rest);
    if (chip == wanted) {
        m_log(QStringLiteral("Chip Already Holds the File"), "green");
        m_log.checksums(image);
        m_outcome = JobOutcome::Succeeded;
        return;
    }
    WriteEepromPages(EepromUnitFor(*m_eeprom)->changedPages(chip, wanted), wanted, image, rest);
}

void CH341::UpdateChanged(const UpdatePlan &plan, const QByteArray &wanted,
                          const QByteArray &image)
{
    if (Interrupted(QStringLiteral("Before Erasing"), QStringLiteral("the Chip Is Unchanged")) ||
        !MakeChipWritable())
        return;
    if (TransferFailed) {
        m_log.transferFailure();
        return;
    }
    if (!plan.erases.isEmpty()) {
        m_log(ErasingText(plan.erases), "black", 1, false);
        ChipEraser eraser(m_chip, m_progress, ChipEraseTimeoutMs);
        const ChipEraser::Result erased = eraser.eraseUnits(plan.erases);
        m_log.eraseFailure(erased, eraser);
        if (erased == ChipEraser::Result::Stopped) {
            const uint32_t reached = eraser.reached();
            LogInterrupted(QStringLiteral("While Erasing"),
                           reached == plan.erases.first().address
                               ? QStringLiteral("Nothing Was Erased, the Chip Is Unchanged")
                               : QStringLiteral("What the File Changes below 0x%1 Was Erased, "
                                                "the Rest of the Chip Is Unchanged")
                                     .arg(JobLog::hexAddress(reached)));
            return;
        }
        if (erased == ChipEraser::Result::SectorEraseIgnored) {
            WriteAfterChipErase(TrimmedErased(wanted), &image);
            return;
        }
        if (erased != ChipEraser::Result::Done)
            return;
        m_log.ok();
    }
    m_log(QStringLiteral("Writing to Chip... "), "black", 1, false);
    int written = -1;
    if (TransferFailed) {
    } else if (!IsAaiPage(ChipPage)) {
        written = WriteFlashData(plan.program.size(), ChipPage, plan.program);
    } else {
        PageProgrammer programmer(m_chip, m_progress, PageProgramTimeoutMs);
        written = programmer.programSpans(ChipPage == QLatin1String("SSTW")
                                              ? PageProgrammer::Method::WordAai
                                              : PageProgrammer::Method::ByteAai,
                                          0, plan.program, plan.readBack);
        m_log.programmingFault(programmer);
        m_programmedTo = programmer.reached();
    }
    if (written == PageProgrammer::Stopped)
        LogInterrupted(QStringLiteral("While Writing"),
                       WrittenState(m_programmedTo, QStringLiteral("Hold the File"),
                                    QStringLiteral("Beyond Them What It Changes Is Erased and "
                                                   "the Rest Is as It Was")));
    else if (written != 1)
        m_log.routineFailure(written);
    else
        ProveWritten(plan.readBack, wanted, image);
}
