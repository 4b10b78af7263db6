#include "programmer/jobs/ch341.h"

#include "programmer/chips/nor/chiperaser.h"
#include "programmer/chips/nor/chipreader.h"
#include "programmer/jobs/tracelog.h"

#include <algorithm>

bool CH341::EraseWholeChip(bool tracePolls, ChipReader::BlankCheck blankCheck)
{
    if (!MakeChipWritable())
        return false;
    if (TransferFailed) {
        m_log.transferFailure();
        return false;
    }
    ChipEraser eraser(m_chip, m_progress, ChipEraseTimeoutMs);
    const ChipEraser::Result erased = eraser.eraseWholeChip(tracePolls);
    if (erased != ChipEraser::Result::Done) {
        m_log.eraseFailure(erased, eraser);
        return false;
    }
    int nonBlank = -1;
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Full);
    if (!reader.findNonBlank(blankCheck, nonBlank)) {
        if (TransferFailed)
            m_log.transferFailure();
        else
            LogInterrupted(QStringLiteral("While Checking the Erase"),
                           QStringLiteral("the Whole Chip Is Erased but Not All Read Back"));
        return false;
    }
    if (nonBlank >= 0) {
        m_log(QStringLiteral("Erase Failed: Chip Not Blank at 0x%1")
                  .arg(JobLog::hexAddress(uint32_t(nonBlank))),
              "red");
        return false;
    }
    m_log.ok();
    return true;
}

void CH341::DoEraseFlash()
{
    qCDebug(varnockTrace) << "CH341::DoEraseFlash";
    const int initialized = InitializeProgrammer();
    qCDebug(varnockTrace) << initialized;
    if (initialized != 1) {
        m_log.initializeFailure();
        emit JobDone();
        return;
    }
    if (m_eeprom) {
        EraseEeprom();
        EndJob();
        return;
    }
    // "OK" only once every byte of the chip has been read back as 0xFF.
    if (Interrupted(QStringLiteral("Before Erasing"), QStringLiteral("the Chip Is Unchanged")) ||
        !EraseWholeChip(true, ChipReader::BlankCheck::WholeChip)) {
        EndJob();
        return;
    }
    WriteDisable();
    if (m_bus.flush())
        m_outcome = JobOutcome::Succeeded;
    else
        m_log.transferFailure();
    EndJob();
}

void CH341::DoVerifyFlash()
{
    QByteArray image;
    if (!StartImageJob(image, EmptyImage::Allowed))
        return;
    if (!ResolveRegions(image.size())) {
        EndJob();
        return;
    }
    if (!m_regions.isEmpty()) {
        VerifyRegions(image);
        return;
    }
    m_log.smallerImage(image.size(), ChipSize,
                       QStringLiteral("Only Its Bytes Are Compared, the Rest of the Chip Is Not "
                                      "Read"));
    m_log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    QByteArray chipData;
    // The verdict is known at the first chunk that differs: reading on would only keep the
    // operator waiting.
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    const QVector<ChipSpan> spans = {{0, uint32_t(image.size())}};
    int readResult = -1;
    if (TransferFailed) {
    } else if (m_eeprom) {
        readResult = ReadEeprom(spans, chipData, &image);
        chipData.truncate(image.size());
    } else {
        readResult = reader.read(spans, reader.wholeChipChunk(), chipData, &image);
    }
    if (readResult == ChipReader::kStopped)
        LogInterrupted(QStringLiteral("While Reading"), QStringLiteral("the Chip Is Unchanged"));
    if (readResult < 0) {
        m_log.routineFailure(readResult);
        EndJob();
        return;
    }
    m_log.ok();
    if (readResult == 0 || image != chipData) {
        m_log(QStringLiteral("No Match Found!"), "red");
        // The chip's data ends with the first chunk that differs.
        const auto first =
            std::mismatch(chipData.cbegin(), chipData.cend(), image.cbegin(), image.cend());
        if (first.first != chipData.cend() && first.second != image.cend())
            m_log(QStringLiteral("First Difference at 0x%1: Chip 0x%2, File 0x%3")
                      .arg(JobLog::hexAddress(uint32_t(first.first - chipData.cbegin())),
                           JobLog::hexByte(uint8_t(*first.first)),
                           JobLog::hexByte(uint8_t(*first.second))),
                  "red");
        m_log.lowerClockHint(m_bus.clockKHz());
    } else {
        m_log(QStringLiteral("Match Found!"), "green");
        m_log.checksums(image);
        m_outcome = JobOutcome::Succeeded;
        emit UpdateHexView(chipData);
    }
    EndJob();
}
