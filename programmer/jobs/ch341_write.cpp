#include "programmer/jobs/ch341.h"

#include "programmer/chips/nor/chipreader.h"
#include "programmer/jobs/jobfiles.h"
#include "programmer/chips/nor/pageprogrammer.h"

namespace {
// Progress of SST auto-address-increment programming is reported per 256 bytes.
constexpr int kAaiWriteChunk = 256;

PageProgrammer::Method MethodOfPage(const QString &page)
{
    if (page == QLatin1String("SSTW"))
        return PageProgrammer::Method::WordAai;
    if (page == QLatin1String("SSTB"))
        return PageProgrammer::Method::ByteAai;
    return PageProgrammer::Method::Pages;
}
} // namespace

bool CH341::IsBusy()
{
    return m_chip.isBusy();
}

void CH341::WriteEnable()
{
    m_chip.writeEnable();
}

void CH341::WriteDisable()
{
    m_chip.writeDisable();
}

int CH341::WriteFlashData(int size, QString chunkSpec, QByteArray data)
{
    const int pageSize = PageBytes(chunkSpec, kAaiWriteChunk);
    if (pageSize <= 0) {
        m_log.unsupportedPage(chunkSpec);
        return -2;
    }
    PageProgrammer programmer(m_chip, m_progress, PageProgramTimeoutMs);
    const PageProgrammer::Result written =
        programmer.program(MethodOfPage(chunkSpec), pageSize, data, uint32_t(size));
    m_log.programmingFault(programmer);
    m_programmedTo = programmer.reached();
    return written;
}

void CH341::LogInterrupted(const QString &when, const QString &state)
{
    QString line = QStringLiteral("Interrupted %1: %2").arg(when, state);
    if (!m_backupPath.isEmpty())
        line += QStringLiteral("; the Backup Is %1").arg(m_backupPath);
    m_log(line, "red");
}

bool CH341::Interrupted(const QString &when, const QString &state)
{
    if (!StopRequested())
        return false;
    LogInterrupted(when, state);
    return true;
}

QString CH341::WrittenState(uint32_t reached, const QString &written, const QString &rest)
{
    if (reached == 0)
        return QStringLiteral("Nothing Was Written, ") + rest;
    return QStringLiteral("Bytes 0x000000 to 0x%1 %2, %3")
        .arg(JobLog::hexAddress(reached - 1), written, rest);
}

bool CH341::StartImageJob(QByteArray &image, EmptyImage emptyImage)
{
    // A pipe can be read only once, and what it yields decides whether the job may go on: the
    // image is loaded before the programmer is touched.
    if (!LoadJobFile(FileName, image, m_log)) {
        emit JobDone();
        return false;
    }
    // An empty image is almost always a mistake (a failed download or decompressor, a cut
    // copy); writing it would only erase the chip.
    if (emptyImage == EmptyImage::Refused && image.isEmpty()) {
        m_log(QStringLiteral("The File is Empty: Nothing Was Written."), "red");
        m_log(QStringLiteral("No Bytes Read from %1")
                  .arg(ShownFileName(FileName, QStringLiteral("standard input"))),
              "red");
        emit JobDone();
        return false;
    }
    if (InitializeProgrammer() != 1) {
        m_log.initializeFailure();
        emit JobDone();
        return false;
    }
    // Reads past the last address wrap to address 0, so an image longer than the chip could
    // even compare equal to it: refuse it for verify as well.
    if (ChipSize < uint32_t(image.size())) {
        m_log(QStringLiteral("insufficient Chip Storage Size! "), "red");
        EndJob();
        return false;
    }
    return true;
}

void CH341::DoWriteFlash()
{
    // A part of the chip is written as the update writes it, so that the rest is kept.
    if (Regions.source != RegionSelection::Source::WholeChip) {
        DoUpdateFlash();
        return;
    }
    QByteArray image;
    if (!StartImageJob(image, EmptyImage::Refused))
        return;
    if (m_eeprom) {
        // An EEPROM writes bytes, not erased pages: what the file does not reach stays.
        const QString rest = QStringLiteral("the Rest of the Chip Is Unchanged");
        m_log.smallerImage(image.size(), ChipSize, rest);
        WriteEepromPages(EepromUnitFor(*m_eeprom)->pagesOf(0, uint32_t(image.size())), image,
                         image, rest);
        EndJob();
        return;
    }
    m_log.smallerImage(image.size(), ChipSize, QStringLiteral("the Rest of the Chip Is Erased"));
    WriteAfterChipErase(image);
    EndJob();
}

void CH341::WriteAfterChipErase(const QByteArray &image, const QByteArray *checksummed)
{
    if (Interrupted(QStringLiteral("Before Erasing"), QStringLiteral("the Chip Is Unchanged")))
        return;
    // The image's own read-back proves the erase where it matters; the ends of the chip show a
    // misjudged protection early.
    if (!EraseWholeChip(false, ChipReader::BlankCheck::Ends))
        return;
    if (Interrupted(QStringLiteral("While Erasing"), QStringLiteral("the Whole Chip Is Erased")))
        return;
    WriteDisable();
    WriteEnable();
    m_log(QStringLiteral("Writing to Chip... "), "black", 1, false);
    const int written = TransferFailed ? -1 : WriteFlashData(image.size(), ChipPage, image);
    if (written == PageProgrammer::Stopped)
        LogInterrupted(QStringLiteral("While Writing"),
                       WrittenState(m_programmedTo, QStringLiteral("Were Written"),
                                    QStringLiteral("the Rest of the Chip Is Erased")));
    else if (written != 1)
        m_log.routineFailure(written);
    else
        ProveWritten({{0, uint32_t(image.size())}}, image, checksummed ? *checksummed : image);
}

void CH341::ProveWritten(const QVector<ChipSpan> &spans, const QByteArray &expected,
                         const QByteArray &image)
{
    // A page the chip silently refused (a protected block, a worn cell) would otherwise be
    // reported as written.
    int difference = 0;
    uint8_t chipByte = 0;
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Full);
    const int compared = m_eeprom ? CompareWithEeprom(spans, expected, difference, chipByte)
                                  : reader.compare(spans, expected, difference, chipByte);
    if (compared == 1) {
        m_log.ok();
        m_log.checksums(image);
        m_outcome = JobOutcome::Succeeded;
    } else if (compared == ChipReader::kStopped) {
        LogInterrupted(QStringLiteral("While Verifying"),
                       QStringLiteral("the File Was Written but Not All Read Back"));
    } else if (compared == 0) {
        m_log(QStringLiteral("Verify Failed at 0x%1: Chip 0x%2, File 0x%3")
                  .arg(JobLog::hexAddress(uint32_t(difference)), JobLog::hexByte(chipByte),
                       JobLog::hexByte(uint8_t(expected.at(difference)))),
              "red");
        // A 24xx part takes no write while its WP pin is high, and the bus shows nothing.
        if (m_eeprom && m_eeprom->bus == EepromBus::I2c)
            m_log(QStringLiteral("A 24xx Part Keeps Its Bytes While Its WP Pin (7) Is High: "
                                 "Check the Pin Is Tied Low"),
                  "red");
    } else {
        m_log.routineFailure(compared);
    }
}
