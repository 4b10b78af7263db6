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
    return ReadSpans({{0, ChipSize}}, contents, nothingDone);
}

int CH341::ReadSpans(const QVector<ChipSpan> &spans, QByteArray &contents,
                     const QString &nothingDone)
{
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    const auto readOnce = [&](QByteArray &into) {
        return m_eeprom ? ReadEeprom(spans, into) : reader.read(spans, m_bus.readChunk(), into);
    };
    const int first = readOnce(contents);
    if (first != 1 || !ReadTwice)
        return first;
    QByteArray again;
    const int second = readOnce(again);
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
    if (!ResolveRegions(-1)) {
        EndJob();
        return;
    }
    if (!m_regions.isEmpty()) {
        ReadRegions();
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
    // A flash chip is woken again before the read; an EEPROM has no deep power-down, and its
    // presence was read moments ago: 52 ms of settling would be most of its read.
    if (!m_eeprom)
        ConfigureProgrammer();
    QByteArray contents;
    const int readResult =
        TransferFailed ? -1 : ReadWholeChip(contents, QStringLiteral("No Dump Written"));
    if (readResult != 1) {
        dump.cancel();
        EndFailedRead(readResult);
        return;
    }
    if (ReadTwice)
        m_log(QStringLiteral("Both Reads Agree"), "green");
    if (!SaveDump(dump, shownPath, contents)) {
        EndJob();
        return;
    }
    EndRead(FileName, dump.isStream());
}

void CH341::EndFailedRead(int readResult)
{
    if (readResult == ChipReader::kStopped)
        LogInterrupted(QStringLiteral("While Reading"),
                       QStringLiteral("the Chip Is Unchanged, No File Was Saved"));
    m_log.routineFailure(readResult);
    EndJob();
}

bool CH341::SaveDump(DumpTarget &dump, const QString &shownPath, const QByteArray &contents)
{
    if (!dump.save(contents)) {
        m_log(QStringLiteral("Failed to Save Binary File."), "red");
        m_log(QStringLiteral("Cannot Write Dump File %1: %2").arg(shownPath, dump.errorString()),
              "red");
        return false;
    }
    m_log(QStringLiteral("Flash Chip Read File Saved in:"), "black");
    m_log(shownPath, "blue");
    m_log.checksums(contents);
    return true;
}

void CH341::EndRead(const QString &fileName, bool stream)
{
    m_outcome = JobOutcome::Succeeded;
    ReleaseAndClose();
    emit Set_Label_ProgModel_TEXT(QString());
    ShowDumpFolder(fileName, stream);
    emit JobDone();
}

void CH341::ShowDumpFolder(const QString &fileName, bool stream)
{
    // A stream has no folder to show.
    if (stream)
        return;
    // A dump at the root ("/dump.bin") keeps "/": an empty folder name opens nothing.
    const QString path = QFileInfo(fileName).absoluteFilePath();
    FileName = path.mid(0, qMax(int(path.lastIndexOf(QLatin1Char('/'))), 1));
    QDesktopServices::openUrl(QUrl::fromLocalFile(FileName));
}
