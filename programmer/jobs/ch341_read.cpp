#include "programmer/jobs/ch341.h"

#include "programmer/chips/nor/chipreader.h"
#include "programmer/jobs/dumptarget.h"
#include "programmer/jobs/jobfiles.h"
#include "programmer/chips/nor/pageprogrammer.h"
#include "programmer/jobs/readcompare.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
constexpr int kSstReadChunk = 2048;
} // namespace

int CH341::ReadFlashData(int size, QString chunkSpec, QByteArray *result)
{
    if (m_eeprom) {
        const int read = ReadEeprom({{0, uint32_t(qMax(size, 0))}}, *result);
        result->truncate(qMax(size, 0));
        return read;
    }
    const int chunk = PageBytes(chunkSpec, kSstReadChunk);
    if (chunk <= 0) {
        m_log.unsupportedPage(chunkSpec);
        return -2;
    }
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    return reader.read({{0, uint32_t(qMax(size, 0))}}, chunk, *result);
}

int CH341::ReadWholeChip(QByteArray &contents, const QString &nothingDone)
{
    const QString chunk = QString::number(m_bus.readChunk());
    const int first = ReadFlashData(int(ChipSize), chunk, &contents);
    if (first != 1 || !ReadTwice)
        return first;
    QByteArray again;
    const int second = ReadFlashData(int(ChipSize), chunk, &again);
    if (second != 1)
        return second;
    const ReadDifference difference = CompareReads(contents, again);
    if (difference.bytes == 0)
        return 1;
    m_log.readsDiffer(difference, nothingDone);
    m_log.lowerClockHint(m_bus.clockKHz());
    return 0;
}

void CH341::DoReadFlash()
{
    if (InitializeProgrammer() != 1) {
        m_log.initializeFailure();
        emit JobDone();
        return;
    }
    DumpTarget dump(FileName);
    const QString shownPath = ShownFileName(FileName, QStringLiteral("standard output"));
    if (!dump.open()) {
        m_log(QStringLiteral("Failed to Load/Open Binary File."), "red");
        m_log(QStringLiteral("Cannot Create Dump File %1: %2").arg(shownPath, dump.errorString()),
              "red");
        EndJob();
        return;
    }
    ConfigureProgrammer();
    QByteArray contents;
    const int readResult =
        TransferFailed ? -1 : ReadWholeChip(contents, QStringLiteral("No Dump Written"));
    if (readResult != 1) {
        dump.cancel();
        if (readResult == ChipReader::kStopped)
            LogInterrupted(QStringLiteral("While Reading"),
                           QStringLiteral("the Chip Is Unchanged, No File Was Saved"));
        m_log.routineFailure(readResult);
        EndJob();
        return;
    }
    if (ReadTwice)
        m_log(QStringLiteral("Both Reads Agree"), "green");
    if (!dump.save(contents)) {
        m_log(QStringLiteral("Failed to Save Binary File."), "red");
        m_log(QStringLiteral("Cannot Write Dump File %1: %2").arg(shownPath, dump.errorString()),
              "red");
        EndJob();
        return;
    }
    m_log(QStringLiteral("Flash Chip Read File Saved in:"), "black");
    m_log(shownPath, "blue");
    m_log.checksums(contents);
    m_outcome = JobOutcome::Succeeded;
    ReleaseAndClose();
    emit Set_Label_ProgModel_TEXT(QString());

    // A stream has no folder to show.
    if (!dump.isStream()) {
        // A dump at the root ("/dump.bin") keeps "/": an empty folder name opens nothing.
        FileName = QFileInfo(FileName).absoluteFilePath();
        FileName = FileName.mid(0, qMax(int(FileName.lastIndexOf(QLatin1Char('/'))), 1));
        QDesktopServices::openUrl(QUrl::fromLocalFile(FileName));
    }
    emit JobDone();
}
