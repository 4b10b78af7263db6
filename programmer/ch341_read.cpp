#include "ch341.h"

#include "dumptarget.h"
#include "spiopcodes.h"
#include "bridge/ch341dll.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QUrl>

#include <cstring>

namespace {
constexpr int kSstReadChunk = 2048;
} // namespace

const QString &CH341::WholeChipChunkSpec()
{
    // A 4 KiB chunk is one exchange of some 134 SPI packets: the packets, not
    // the host's wait for the next exchange, then bound the read.
    static const QString chunk = QStringLiteral("4096");
    return chunk;
}

int CH341::ChunkSize(const QString &chunkSpec, int sstChunk)
{
    if (chunkSpec == QLatin1String("SSTB") || chunkSpec == QLatin1String("SSTW"))
        return sstChunk;
    bool ok = false;
    const int size = chunkSpec.toInt(&ok, 10);
    return ok ? size : 0;
}

QByteArray CH341::AddressedHeader(uint8_t opcode, uint32_t address, bool fourByteAddress) const
{
    QByteArray header(1, char(fourByteAddress ? FourByteOpcode(opcode) : opcode));
    if (fourByteAddress)
        header.append(char(address >> 24));
    header.append(char(address >> 16));
    header.append(char(address >> 8));
    header.append(char(address));
    return header;
}

void CH341::LogInvalidChunkSpec(const QString &chunkSpec)
{
    Log(QStringLiteral("Unsupported Page Size in Chip List: \"%1\"").arg(chunkSpec), "red");
}

void CH341::LogRoutineFailure(int result)
{
    // A refused chunk size has been reported by the routine itself.
    if (result == -1)
        LogTransferFailure();
}

void CH341::SendSingleByteCommand(uint8_t opcode)
{
    SpiSend(1, 1, QByteArray(1, char(opcode)));
}

bool CH341::ReadCommand(const QByteArray &header, int count, QByteArray &answer)
{
    // The header rides in the first packet of the data: one SPI packet, and
    // so one USB transaction each way, fewer than a send and a receive.
    QByteArray stream = header;
    stream.append(count, char(0xFF));
    if (!SelectChip() || !BridgeCall(CH341StreamSPI4(BridgePins::DEVICE, 0,
                                                     uint32_t(stream.size()), stream.data()) != 0))
        return false;
    DeselectChip();
    answer = stream.mid(header.size());
    return true;
}

int CH341::ReadFlashData(int size, QString chunkSpec, QByteArray *result)
{
    return ReadFlashChunks(size, chunkSpec, result, nullptr);
}

int CH341::ReadFlashChunks(int size, const QString &chunkSpec, QByteArray *result,
                           const QByteArray *expected, ProgressEnd progressEnd)
{
    const int chunk = ChunkSize(chunkSpec, kSstReadChunk);
    if (chunk <= 0) {
        LogInvalidChunkSpec(chunkSpec);
        return -2;
    }
    return ReadFlashSpans({{0, uint32_t(qMax(size, 0))}}, chunk, result, expected, progressEnd);
}

int CH341::ReadFlashSpans(const QVector<ChipSpan> &spans, int chunk, QByteArray *result,
                          const QByteArray *expected, ProgressEnd progressEnd)
{
    qulonglong total = 0;
    uint32_t end = 0;
    for (const ChipSpan &span : spans) {
        total += span.length;
        end = qMax(end, span.start + span.length);
    }
    const bool fourByteAddress = NeedsFourByteAddress(end);

    if (fourByteAddress)
        EnterFourByteMode();
    // A chip left in 4-byte mode misreads the next job's addresses.
    auto leave = qScopeGuard([this, fourByteAddress] { LeaveAddressing(fourByteAddress); });
    emit UpdateProgreesBar_Value(0);
    emit SetProgreesBar_MaxValue(total);

    qulonglong done = 0;
    bool differs = false;
    QByteArray answer;
    for (const ChipSpan &span : spans) {
        for (uint32_t offset = 0; offset < span.length && !TransferFailed && !differs;) {
            const int count = int(qMin(uint32_t(chunk), span.length - offset));
            const uint32_t address = span.start + offset;
            const QByteArray header = AddressedHeader(
                SpiOpcode::READ, DieAddress(address, fourByteAddress), fourByteAddress);
            if (!ReadCommand(header, count, answer))
                break;
            result->append(answer.constData(), count);
            differs = expected != nullptr &&
                      std::memcmp(answer.constData(), expected->constData() + address,
                                  size_t(count)) != 0;
            offset += uint32_t(count);
            done += uint32_t(count);
            emit Set_Label_Status_TEXT(QStringLiteral("Read [%1:%2]").arg(done).arg(total));
            emit UpdateProgreesBar_Value(done);
        }
        if (TransferFailed || differs)
            break;
    }
    if (progressEnd == ProgressEnd::Reset)
        emit UpdateProgreesBar_Value(0);
    if (TransferFailed)
        return -1;
    leave.dismiss();
    LeaveAddressing(fourByteAddress);
    if (!SendQueuedCommands())
        return -1;
    return differs ? 0 : 1;
}

void CH341::DoReadFlash()
{
    if (InitializeProgrammer() != 1) {
        LogInitializeFailure();
        emit JobDone();
        return;
    }
    DumpTarget dump(FileName);
    const QString shownPath = ShownFileName(QStringLiteral("standard output"));
    if (!dump.open()) {
        Log(QStringLiteral("Failed to Load/Open Binary File."), "red");
        Log(QStringLiteral("Cannot Create Dump File %1: %2").arg(shownPath, dump.errorString()),
            "red");
        EndJob();
        return;
    }
    ConfigureProgrammer();
    QByteArray contents;
    const int readResult = TransferFailed ? -1
                                          : ReadFlashData(static_cast<int>(ChipSize),
                                                          WholeChipChunkSpec(), &contents);
    if (readResult != 1) {
        dump.cancel();
        LogRoutineFailure(readResult);
        EndJob();
        return;
    }
    if (!dump.save(contents)) {
        Log(QStringLiteral("Failed to Save Binary File."), "red");
        Log(QStringLiteral("Cannot Write Dump File %1: %2").arg(shownPath, dump.errorString()),
            "red");
        EndJob();
        return;
    }
    Log(QStringLiteral("Flash Chip Read File Saved in:"), "black");
    Log(shownPath, "blue");
    LogChecksums(contents);
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

QString CH341::ShownFileName(const QString &standardStream) const
{
    return FileName == QLatin1String("-")
               ? standardStream
               : QDir::toNativeSeparators(QFileInfo(FileName).absoluteFilePath());
}
