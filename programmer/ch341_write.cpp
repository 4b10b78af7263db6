#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"
#include "tracelog.h"
#include "bridge/ch341queue.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>

#include <unistd.h>

namespace {
// The chip list gives no program times, so the write learns the chip's: the
// bridge pauses this long after a page's data before it reads the status, and
// a status that still shows the chip busy lengthens the pause by a step. Until
// a page is found done after its pause, each page is its own exchange, so the
// chip is sent commands only while it is ready.
constexpr uint32_t kPageProgramPauseStepUs = 100;
// The slowest page program in the chip list's datasheets takes 5 ms at most.
constexpr uint32_t kLongestPageProgramPauseUs = 5000;
// The largest chip in the chip list (256 MiB); no image can be longer.
constexpr int kLongestImage = 256 * 1024 * 1024;
// A job file is read in pieces of this size, so that a stream is never read past the bound.
constexpr qint64 kLoadChunk = 1024 * 1024;
// The block a chip without a bulk erase is erased by, one after the other (D8h).
constexpr uint32_t kBlockEraseBytes = 64 * 1024;
// Progress of SST auto-address-increment programming is reported per 256 bytes.
constexpr int kSstWriteChunk = 256;
// What one exchange carries: 8 KiB of 32-byte OUT packets.
constexpr int kPacketsPerExchange = 8192 / 32;
// A status read clocks the opcode and one byte in.
constexpr int kStatusReadLength = 2;

// The pin packet between the program command and the status read holds the
// deselect, the select and 26 pause commands of up to 31 us.
constexpr uint32_t kPauseInPinPacketUs = 26 * 31;

// The OUT packets of one programmed page: three pin packets (select and
// deselect around each command, the pause), write enable, the program command
// with its data in 31-byte SPI packets, the status read, and at most two pause
// packets of their own (milliseconds, the rest) for a longer pause.
int PacketsPerPage(int commandLength, uint32_t pauseUs)
{
    const int extraPausePackets = pauseUs > kPauseInPinPacketUs ? 2 : 0;
    return 3 + 1 + (commandLength + 30) / 31 + 1 + extraPausePackets;
}

// Datasheet maxima for a chip erase run from about 100 s (8 MiB) to a few
// hundred seconds for the largest parts: allow 25 s per MiB, never less than
// 200 s.
qint64 ChipEraseBudgetMs(uint32_t chipSize)
{
    constexpr qint64 kMinimumMs = 200 * 1000;
    constexpr qint64 kPerMiBMs = 25 * 1000;
    return qMax(kMinimumMs, kPerMiBMs * qint64(chipSize) / (1 << 20));
}
} // namespace

bool CH341::IsErased(const QByteArray &data)
{
    return std::all_of(data.cbegin(), data.cend(), [](char byte) { return byte == char(0xFF); });
}

bool CH341::ReadRegister(uint8_t opcode, uint8_t &value)
{
    SpiSend(0, 1, QByteArray(1, char(opcode)));
    QByteArray answer;
    SpiReceive(1, answer);
    if (answer.isEmpty() || TransferFailed)
        return false;
    value = static_cast<uint8_t>(answer.at(0));
    return true;
}

bool CH341::ReadStatus(uint8_t &status)
{
    if (!ReadRegister(SpiOpcode::RDSR, status))
        return false;
    m_lastStatus = status;
    return true;
}

bool CH341::IsBusy()
{
    return IsBusyUnless(Family ? Family->errorBits : 0);
}

bool CH341::IsBusyUnless(uint8_t errorFlags)
{
    uint8_t status = 0;
    // A failed status read counts as not busy, so a programmer that stops
    // answering ends every busy wait at once; the job sees TransferFailed.
    if (!ReadStatus(status))
        return false;
    qCDebug(varnockTrace) << "st" << QByteArray(1, char(status)).toHex();
    // An error flag holds BUSY until it is cleared: the operation has ended.
    if ((status & errorFlags) != 0)
        return false;
    return (status & SpiStatus::BUSY) != 0;
}

void CH341::WriteEnable()
{
    SendSingleByteCommand(SpiOpcode::WREN);
}

void CH341::WriteDisable()
{
    SendSingleByteCommand(SpiOpcode::WRDI);
}

// Both waits poll once more after the deadline, so a host that stalled
// between two polls never times out a chip that has finished.
CH341::WaitResult CH341::WaitWhileProgramming(qint64 timeoutMs, bool statusWrite)
{
    // While a status write runs, a bit that is an error flag on one part of
    // the identifier and a protection bit on another still shows its old value.
    const uint8_t errorFlags = !Family       ? 0
                               : statusWrite ? Family->errorBits & ~Family->protectionBits
                                             : Family->errorBits;
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    for (;;) {
        const bool expired = deadline.hasExpired();
        if (!IsBusyUnless(errorFlags))
            return TransferFailed ? WaitResult::TransferFailed : WaitResult::Ready;
        if (expired)
            return WaitResult::TimedOut;
        QThread::msleep(1);
    }
}

CH341::WaitResult CH341::WaitWhileErasing(bool tracePolls)
{
    const QDeadlineTimer deadline(ChipEraseTimeoutMs > 0 ? ChipEraseTimeoutMs
                                                         : ChipEraseBudgetMs(ChipSize),
                                  Qt::PreciseTimer);
    for (;;) {
        const bool expired = deadline.hasExpired();
        if (!IsBusy())
            return TransferFailed ? WaitResult::TransferFailed : WaitResult::Ready;
        if (expired)
            return WaitResult::TimedOut;
        emit Set_Label_Status_TEXT(QStringLiteral("Chip Erasing in Progress."));
        if (tracePolls)
            qCDebug(varnockTrace) << "KKK0";
    }
}

void CH341::LeaveProgramming(bool fourByteAddress)
{
    if (fourByteAddress)
        ExitFourByteMode();
    // A select window cut short by a lost transfer must end first.
    DeselectChip();
    WriteDisable();
    SelectDie(0);
}

void CH341::QueuePage(const QByteArray &data, int offset, int length, bool fourByteAddress,
                      uint32_t pauseUs)
{
    const uint32_t address = DieAddress(static_cast<uint32_t>(offset), fourByteAddress);
    // A failed transfer queues nothing more.
    WriteEnable();
    if (TransferFailed)
        return;
    QByteArray command = AddressedHeader(SpiOpcode::PP, address, fourByteAddress);
    command.append(data.constData() + offset, length);
    SpiSend(1, static_cast<unsigned int>(command.size()), command);
    if (TransferFailed)
        return;
    PauseOnBridge(pauseUs);
    if (TransferFailed)
        return;
    // The status read's answer is kept for the batch's end.
    const char statusRead[kStatusReadLength] = {char(SpiOpcode::RDSR), char(0xFF)};
    if (SelectChip() &&
        BridgeCall(CH341QueueReadSPI4(BridgePins::DEVICE, 0, kStatusReadLength, statusRead) != 0))
        DeselectChip();
}

int CH341::QueuePageBatch(const QByteArray &data, int offset, int chunk, bool fourByteAddress,
                          const PageBatchPlan &plan, QVector<int> &queued)
{
    const int headerLength = fourByteAddress ? 5 : 4;
    const int pageLimit =
        plan.learning
            ? 1
            : qMax(1, kPacketsPerExchange / PacketsPerPage(headerLength + chunk, plan.pauseUs));
    while (offset < data.size() && queued.size() < pageLimit && !TransferFailed) {
        // Another die is selected only once the pages before it are done: a
        // busy die ignores the selection.
        if (!queued.isEmpty() && StackedDies() > 1 &&
            uint32_t(offset) / DieSize() != uint32_t(m_die))
            break;
        const int length = qMin(chunk, data.size() - offset);
        // The chip has just been erased: programming 0xFF would change no bit.
        if (!IsErased(QByteArray::fromRawData(data.constData() + offset, length))) {
            QueuePage(data, offset, length, fourByteAddress, plan.pauseUs);
            queued.append(offset);
        }
        offset += length;
    }
    return offset;
}

int CH341::FirstBusyPage(const QByteArray &statuses)
{
    for (int i = 0; i < statuses.size() / kStatusReadLength; ++i) {
        m_lastStatus = uint8_t(statuses.at(i * kStatusReadLength + 1));
        if (m_lastStatus & SpiStatus::BUSY)
            return i;
    }
    return -1;
}

void CH341::ReportWritten(int from, int to, int chunk, int length)
{
    for (int offset = from; offset < to;) {
        offset = qMin(offset + chunk, length);
        emit Set_Label_Status_TEXT(QStringLiteral("Write [%1 / %2]").arg(offset).arg(length));
        emit UpdateProgreesBar_Value(static_cast<qulonglong>(offset));
    }
}

int CH341::WriteFlashData(int size, QString chunkSpec, QByteArray data)
{
    if (chunkSpec == QLatin1String("SSTW") || chunkSpec == QLatin1String("SSTB"))
        return WriteFlashDataAai(chunkSpec, data);
    const int chunk = ChunkSize(chunkSpec, kSstWriteChunk);
    if (chunk <= 0) {
        LogInvalidChunkSpec(chunkSpec);
        return -2;
    }
    const bool fourByteAddress = NeedsFourByteAddress(static_cast<uint32_t>(size));
    const int length = data.size();

    emit SetProgreesBar_MaxValue(static_cast<qulonglong>(length));
    emit UpdateProgreesBar_Value(0);
    if (fourByteAddress)
        EnterFourByteMode();
    // A chip left in 4-byte mode misreads the next job's addresses.
    auto leave = qScopeGuard([this, fourByteAddress] { LeaveProgramming(fourByteAddress); });

    PageBatchPlan plan{kPageProgramPauseStepUs, true};
    // Every page before it is programmed or blank.
    int done = 0;
    while (done < length && !TransferFailed) {
        QVector<int> queued;
        const int end = QueuePageBatch(data, done, chunk, fourByteAddress, plan, queued);
        QByteArray statuses(queued.size() * kStatusReadLength, char(0));
        if (!TransferFailed && !queued.isEmpty())
            BridgeCall(CH341ReadQueuedAnswers(BridgePins::DEVICE, uint32_t(statuses.size()),
                                              statuses.data()) != 0);
        if (TransferFailed)
            break;
        const int busyAt = FirstBusyPage(statuses);
        int programmed = end;
        if (busyAt >= 0) {
            // The chip ignored the pages queued after this one: they go again once it is done,
            // one per exchange until the longer pause finds a page done.
            programmed = qMin(queued.at(busyAt) + chunk, length);
            plan.pauseUs =
                qMin(plan.pauseUs + kPageProgramPauseStepUs, kLongestPageProgramPauseUs);
            plan.learning = true;
            if (WaitWhileProgramming(PageProgramTimeoutMs) == WaitResult::TimedOut)
                return -3;
            if (TransferFailed)
                break;
            // A program error holds the chip busy until it is cleared.
            if (ReportChipError(static_cast<uint32_t>(queued.at(busyAt)), false))
                return -2;
        } else if (!queued.isEmpty()) {
            plan.learning = false;
        }
        ReportWritten(done, programmed, chunk, length);
        done = programmed;
    }
    if (TransferFailed)
        return -1;
    leave.dismiss();
    LeaveProgramming(fourByteAddress);
    return SendQueuedCommands() ? 1 : -1;
}

bool CH341::LoadJobFile(QByteArray &contents)
{
    QFile file(FileName);
    const bool opened =
        FileName == QLatin1String("-")
            ? file.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
            : file.open(QIODevice::ReadOnly);
    QString reason = file.errorString();
    if (opened) {
        // A stream that never ends (/dev/zero) stops one byte past the largest chip.
        contents.clear();
        while (contents.size() <= kLongestImage) {
            const QByteArray chunk = file.read(kLoadChunk);
            if (chunk.isEmpty())
                break;
            contents += chunk;
        }
        reason = file.error() != QFileDevice::NoError ? file.errorString()
                 : contents.size() > kLongestImage
                     ? QStringLiteral("Longer than the largest chip, %1 bytes").arg(kLongestImage)
                     : QString();
    }
    if (opened && reason.isEmpty())
        return true;
    Log(QStringLiteral("Failed to Load/Open Binary File."), "red");
    Log(QStringLiteral("Cannot Read Image File %1: %2")
            .arg(ShownFileName(QStringLiteral("standard input")), reason),
        "red");
    return false;
}

bool CH341::RefuseOversizedImage(const QByteArray &image)
{
    if (ChipSize >= static_cast<uint32_t>(image.size()))
        return false;
    Log(QStringLiteral("insufficient Chip Storage Size! "), "red");
    return true;
}

bool CH341::EraseWholeChip(bool tracePolls, BlankCheck blankCheck)
{
    if (!MakeChipWritable())
        return false;
    if (TransferFailed) {
        LogTransferFailure();
        return false;
    }
    if (!SendWholeChipErase(tracePolls) || RefuseNonBlankChip(blankCheck))
        return false;
    LogOk();
    return true;
}

bool CH341::SendWholeChipErase(bool tracePolls)
{
    if (m_settled.erase == WholeChipErase::ChipErase) {
        // Stacked dies: each erases only itself.
        for (int die = 0; die < StackedDies(); ++die) {
            SelectDie(die);
            if (!EraseStep(QByteArray(1, char(SpiOpcode::CE)), 0, tracePolls, die == 0))
                return false;
        }
        SelectDie(0);
        return true;
    }
    // Parts without C7h: a die erase with an address in each die, or a block
    // erase for every 64 KiB.
    const bool dies = m_settled.erase == WholeChipErase::DieErase;
    const uint8_t opcode = dies ? SpiOpcode::DE : SpiOpcode::BE;
    const uint32_t step = dies ? ChipSize / uint32_t(qMax(m_settled.dies, 1)) : kBlockEraseBytes;
    const bool fourByteAddress = NeedsFourByteAddress(ChipSize);
    if (fourByteAddress)
        EnterFourByteMode();
    for (uint32_t address = 0; address < ChipSize; address += step) {
        if (!EraseStep(AddressedHeader(opcode, address, fourByteAddress), address, tracePolls,
                       address == 0))
            return false;
    }
    if (fourByteAddress)
        ExitFourByteMode();
    return true;
}

bool CH341::EraseStep(const QByteArray &command, uint32_t address, bool tracePolls, bool first)
{
    WriteEnable();
    if (tracePolls)
        qCDebug(varnockTrace) << "KKK";
    const qint64 sent = SpiSend(1, static_cast<unsigned int>(command.size()), command);
    if (tracePolls)
        qCDebug(varnockTrace) << sent;
    if (first)
        Log(QStringLiteral("Erasing Chip... "), "black", 1, false);
    if (TransferFailed) {
        LogTransferFailure();
        return false;
    }
    const WaitResult wait = WaitWhileErasing(tracePolls);
    if (wait == WaitResult::Ready)
        return !ReportChipError(address, true);
    if (wait == WaitResult::TimedOut)
        LogTimeout();
    else
        LogTransferFailure();
    return false;
}

bool CH341::StartImageJob(QByteArray &image, EmptyImage emptyImage)
{
    // A pipe can be read only once, and what it yields decides whether the job may go on:
    // the image is loaded before the programmer is touched.
    if (!LoadJobFile(image) || (emptyImage == EmptyImage::Refused && RefuseEmptyImage(image))) {
        emit JobDone();
        return false;
    }
    if (InitializeProgrammer() != 1) {
        LogInitializeFailure();
        emit JobDone();
        return false;
    }
    // Reads past the last address wrap to address 0, so an image longer than
    // the chip could even compare equal to it: refuse it for verify as well.
    if (RefuseOversizedImage(image)) {
        EndJob();
        return false;
    }
    return true;
}

bool CH341::RefuseEmptyImage(const QByteArray &image)
{
    // An empty image is almost always a mistake (a failed download or
    // decompressor, a cut copy); writing it would only erase the chip.
    if (!image.isEmpty())
        return false;
    Log(QStringLiteral("The File is Empty: Nothing Was Written."), "red");
    Log(QStringLiteral("No Bytes Read from %1")
            .arg(ShownFileName(QStringLiteral("standard input"))),
        "red");
    return true;
}

void CH341::DoWriteFlash()
{
    QByteArray image;
    if (!StartImageJob(image, EmptyImage::Refused))
        return;
    WriteAfterChipErase(image);
    EndJob();
}

void CH341::WriteAfterChipErase(const QByteArray &image)
{
    // The image's own read-back proves the erase where it matters; the ends
    // of the chip show a misjudged protection early.
    if (!EraseWholeChip(false, BlankCheck::Ends))
        return;
    WriteDisable();
    WriteEnable();
    Log(QStringLiteral("Writing to Chip... "), "black", 1, false);
    const int written = TransferFailed ? -1 : WriteFlashData(image.size(), ChipPage, image);
    if (written == -3)
        LogTimeout();
    else if (written != 1)
        LogRoutineFailure(written);
    else
        ProveWritten({{0, uint32_t(image.size())}}, image, image);
}

void CH341::ProveWritten(const QVector<ChipSpan> &spans, const QByteArray &expected,
                         const QByteArray &image)
{
    // A page the chip silently refused (a protected block, a worn cell) would
    // otherwise be reported as written.
    int difference = 0;
    uint8_t chipByte = 0;
    const int compared = CompareWithChip(spans, expected, difference, chipByte);
    if (compared == 1) {
        LogOk();
        LogChecksums(image);
        m_outcome = JobOutcome::Succeeded;
    } else if (compared == 0) {
        Log(QStringLiteral("Verify Failed at 0x%1: Chip 0x%2, File 0x%3")
                .arg(AddressHex(uint32_t(difference)), StatusHex(chipByte),
                     StatusHex(uint8_t(expected.at(difference)))),
            "red");
    } else {
        LogRoutineFailure(compared);
    }
}
