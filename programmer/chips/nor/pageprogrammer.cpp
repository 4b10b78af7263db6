#include "programmer/chips/nor/pageprogrammer.h"

#include "programmer/chips/chipprogress.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"
#include "programmer/chips/updateplan.h"

#include <QScopeGuard>

#include <algorithm>

namespace {
// The chip list gives no program times, so the write learns the chip's: the bridge pauses this
// long after a page's data before it reads the status, and a status that still shows the chip
// busy lengthens the pause by a step. Until a page is found done after its pause, each page is
// its own exchange, so the chip is sent commands only while it is ready.
constexpr uint32_t kPageProgramPauseStepUs = 100;
// The slowest page program in the chip list's datasheets takes 5 ms at most.
constexpr uint32_t kLongestPageProgramPauseUs = 5000;
// What one exchange carries: 8 KiB of 32-byte OUT packets.
constexpr int kPacketsPerExchange = 8192 / 32;
// A status read clocks the opcode and one byte in.
constexpr int kStatusReadLength = 2;
// The pin packet between the program command and the status read holds the deselect, the
// select and 26 pause commands of up to 31 us.
constexpr uint32_t kPauseInPinPacketUs = 26 * 31;

// Progress of SST auto-address-increment programming is reported per 256 bytes; a status read
// per step also proves the chip still in AAI mode.
constexpr int kAaiProgressStep = 256;
// TBP, the longest an AAI step takes: 10 us on the word-AAI parts (SST25VF016B), 20 us on the
// older byte-AAI parts (SST25VF040; check the datasheet of each part).
constexpr uint32_t kWordStepPauseUs = 10;
constexpr uint32_t kByteStepPauseUs = 20;

// The OUT packets of one programmed page: three pin packets (select and deselect around each
// command, the pause), write enable, the program command with its data in 31-byte SPI
// packets, the status read, and at most two pause packets of their own (milliseconds, the
// rest) for a longer pause.
int PacketsPerPage(int commandLength, uint32_t pauseUs)
{
    const int extraPausePackets = pauseUs > kPauseInPinPacketUs ? 2 : 0;
    return 3 + 1 + (commandLength + 30) / 31 + 1 + extraPausePackets;
}
} // namespace

PageProgrammer::PageProgrammer(FlashChip &chip, ChipProgress &progress, qint64 pageTimeoutMs)
    : m_chip(chip)
    , m_progress(progress)
    , m_pageTimeoutMs(pageTimeoutMs)
{
}

bool PageProgrammer::IsErased(const QByteArray &data)
{
    return std::all_of(data.cbegin(), data.cend(), [](char byte) { return byte == char(0xFF); });
}

PageProgrammer::Result PageProgrammer::program(Method method, int pageSize, const QByteArray &data,
                                               uint32_t extent)
{
    if (method == Method::Pages)
        return programPages(pageSize, data, extent);
    return programAai(method == Method::WordAai, data, 0);
}

PageProgrammer::Result PageProgrammer::programSpans(Method method, int pageSize,
                                                    const QByteArray &data,
                                                    const QVector<ChipSpan> &spans)
{
    if (m_chip.failed())
        return TransferFailed;
    if (method == Method::Pages)
        return programPages(pageSize, data, uint32_t(data.size()));
    // AAI programs on from the address it starts at: one run for each stretch touched.
    for (const ChipSpan &span : spans) {
        const QByteArray run = data.mid(int(span.start), int(span.length));
        if (run.isEmpty() || IsErased(run))
            continue;
        if (m_progress.stopRequested()) {
            m_reached = span.start;
            return Stopped;
        }
        const Result written = programAai(method == Method::WordAai, run, span.start);
        if (written != Done)
            return written;
    }
    return Done;
}

void PageProgrammer::leave(bool fourByteAddress)
{
    if (fourByteAddress)
        m_chip.exitFourByteMode();
    // A select window cut short by a lost transfer must end first.
    m_chip.bus().deselect();
    m_chip.writeDisable();
    m_chip.selectDie(0);
}

void PageProgrammer::queuePage(const QByteArray &data, int offset, int length,
                               bool fourByteAddress, uint32_t pauseUs)
{
    const uint32_t address = m_chip.dieAddress(static_cast<uint32_t>(offset), fourByteAddress);
    // A failed transfer queues nothing more.
    m_chip.writeEnable();
    if (m_chip.failed())
        return;
    QByteArray command = m_chip.addressedHeader(SpiOpcode::PP, address, fourByteAddress);
    command.append(data.constData() + offset, length);
    m_chip.bus().send(command);
    if (m_chip.failed())
        return;
    m_chip.bus().pause(pauseUs);
    if (m_chip.failed())
        return;
    // The status read's answer is kept for the batch's end.
    m_chip.bus().queueWithAnswer(QByteArray(1, char(m_chip.pageStatusOpcode())) + char(0xFF));
}

int PageProgrammer::queueBatch(const QByteArray &data, int offset, int pageSize,
                               bool fourByteAddress, const BatchPlan &plan, QVector<int> &queued)
{
    const int headerLength = fourByteAddress ? 5 : 4;
    const int pageLimit =
        plan.learning
            ? 1
            : qMax(1, kPacketsPerExchange / PacketsPerPage(headerLength + pageSize, plan.pauseUs));
    while (offset < data.size() && queued.size() < pageLimit && !m_chip.failed()) {
        // Another die is selected only once the pages before it are done: a busy die ignores
        // the selection.
        if (!queued.isEmpty() && m_chip.stackedDies() > 1 &&
            uint32_t(offset) / m_chip.dieSize() != uint32_t(m_chip.selectedDie()))
            break;
        const int length = qMin(pageSize, data.size() - offset);
        // The chip has just been erased: programming 0xFF would change no bit.
        if (!IsErased(QByteArray::fromRawData(data.constData() + offset, length))) {
            queuePage(data, offset, length, fourByteAddress, plan.pauseUs);
            queued.append(offset);
        }
        offset += length;
    }
    return offset;
}

int PageProgrammer::firstBusyPage(const QByteArray &statuses)
{
    for (int i = 0; i < statuses.size() / kStatusReadLength; ++i) {
        const uint8_t answer = uint8_t(statuses.at(i * kStatusReadLength + 1));
        const bool busy = m_chip.pageStatusBusy(answer);
        m_chip.setLastStatus(m_chip.pageStatusOpcode() == SpiOpcode::RDSR ? answer
                             : busy                                       ? SpiStatus::BUSY
                                                                          : 0);
        if (busy)
            return i;
    }
    return -1;
}

uint8_t PageProgrammer::faultFlags() const
{
    return m_fault == Fault::ProgramError ? m_chip.lastFlagStatus() : 0;
}

int PageProgrammer::firstFlaggedPage(const QByteArray &statuses) const
{
    for (int i = 0; i < statuses.size() / kStatusReadLength; ++i) {
        if (m_chip.pageStatusFlagged(uint8_t(statuses.at(i * kStatusReadLength + 1))))
            return i;
    }
    return -1;
}

void PageProgrammer::reportWritten(int from, int to, int pageSize, int length)
{
    for (int offset = from; offset < to;) {
        offset = qMin(offset + pageSize, length);
        m_progress.advanced(ChipActivity::Write, qulonglong(offset), qulonglong(length));
    }
}

PageProgrammer::Result PageProgrammer::programPages(int pageSize, const QByteArray &data,
                                                    uint32_t extent)
{
    const bool fourByteAddress = m_chip.needsFourByteAddress(extent);
    const int length = data.size();

    m_progress.started(ChipActivity::Write, qulonglong(length));
    if (fourByteAddress)
        m_chip.enterFourByteMode();
    // A chip left in 4-byte mode misreads the next job's addresses.
    auto leaving = qScopeGuard([this, fourByteAddress] { leave(fourByteAddress); });

    BatchPlan plan{kPageProgramPauseStepUs, true};
    // Every page before it is programmed or blank.
    int done = 0;
    while (done < length && !m_chip.failed()) {
        if (m_progress.stopRequested()) {
            m_reached = uint32_t(done);
            leaving.dismiss();
            leave(fourByteAddress);
            return m_chip.bus().flush() ? Stopped : TransferFailed;
        }
        QVector<int> queued;
        const int end = queueBatch(data, done, pageSize, fourByteAddress, plan, queued);
        QByteArray statuses(queued.size() * kStatusReadLength, char(0));
        if (!m_chip.failed() && !queued.isEmpty())
            m_chip.bus().readQueuedAnswers(statuses);
        if (m_chip.failed())
            break;
        // Micron: a page the chip refused (a protected sector) is flagged, not busy.
        const int flagged = firstFlaggedPage(statuses);
        if (flagged >= 0 && m_chip.takeFlagErrors()) {
            m_fault = Fault::ProgramError;
            m_faultAddress = uint32_t(queued.at(flagged));
            return ChipRefused;
        }
        const int busyAt = firstBusyPage(statuses);
        int programmed = end;
        if (busyAt >= 0) {
            // The chip ignored the pages queued after this one: they go again once it is done,
            // one per exchange until the longer pause finds a page done.
            programmed = qMin(queued.at(busyAt) + pageSize, length);
            plan.pauseUs =
                qMin(plan.pauseUs + kPageProgramPauseStepUs, kLongestPageProgramPauseUs);
            plan.learning = true;
            if (m_chip.waitWhileProgramming(m_pageTimeoutMs) == WaitResult::TimedOut)
                return TimedOut;
            if (m_chip.failed())
                break;
            // A program error holds the chip busy until it is cleared.
            if (m_chip.clearErrorFlags()) {
                m_fault = Fault::ProgramError;
                m_faultAddress = uint32_t(queued.at(busyAt));
                return ChipRefused;
            }
        } else if (!queued.isEmpty()) {
            plan.learning = false;
        }
        reportWritten(done, programmed, pageSize, length);
        done = programmed;
    }
    if (m_chip.failed())
        return TransferFailed;
    leaving.dismiss();
    leave(fourByteAddress);
    return m_chip.bus().flush() ? Done : TransferFailed;
}

// SST25VF parts program one byte per 0x02 command. Auto-address-increment programming sends
// the address once: write enable, then "0xAD, address, two bytes" (word AAI) or "0xAF,
// address, one byte" (byte AAI), then only the opcode and the next bytes, each command after
// the one before has finished; write disable ends AAI mode. The bridge itself waits out each
// step, so hundreds of steps ride in one USB exchange.
PageProgrammer::Result PageProgrammer::programAai(bool word, const QByteArray &data, uint32_t base)
{
    const int width = word ? 2 : 1;
    const uint8_t opcode = word ? SpiOpcode::AAI_WORD : SpiOpcode::AAI_BYTE;
    const uint32_t stepPauseUs = word ? kWordStepPauseUs : kByteStepPauseUs;
    const int length = data.size();
    // 0xFF programs nothing: it pads an odd image to whole words.
    QByteArray image = data;
    if (image.size() % width != 0)
        image.append(char(0xFF));

    m_progress.started(ChipActivity::Write, qulonglong(length));
    if (image.isEmpty()) {
        m_chip.writeDisable();
        return m_chip.failed() ? TransferFailed : Done;
    }
    m_chip.writeEnable();
    // In AAI mode the chip accepts nothing but AAI, status reads and write disable: leave it
    // however the run ends.
    auto leaving = qScopeGuard([this] {
        // A select window cut short by a lost transfer must end first.
        m_chip.bus().deselect();
        m_chip.writeDisable();
    });
    for (int offset = 0; offset < image.size(); offset += width) {
        QByteArray frame = offset == 0 ? m_chip.addressedHeader(opcode, base, false)
                                       : QByteArray(1, char(opcode));
        frame.append(image.constData() + offset, width);
        m_chip.bus().send(frame);
        // The chip ignores a command that comes before the last has finished.
        m_chip.bus().pause(stepPauseUs);
        const int done = qMin(offset + width, length);
        if (done % kAaiProgressStep == 0 || done == length) {
            const WaitResult wait = m_chip.waitWhileProgramming(m_pageTimeoutMs);
            if (wait == WaitResult::TimedOut)
                return TimedOut;
            if (wait == WaitResult::TransferFailed)
                return TransferFailed;
            // Out of AAI mode (refused at the start, or a step lost), every later step would
            // be ignored.
            if ((m_chip.lastStatus() & SpiStatus::SST_AAI) == 0) {
                m_fault = Fault::LeftAaiMode;
                m_faultAddress = base + uint32_t(done);
                return ChipRefused;
            }
            m_progress.advanced(ChipActivity::Write, qulonglong(done), qulonglong(length));
            // The step is done and proven: a stop leaves AAI mode here.
            if (done < length && m_progress.stopRequested()) {
                m_reached = base + uint32_t(done);
                leaving.dismiss();
                m_chip.writeDisable();
                return m_chip.bus().flush() ? Stopped : TransferFailed;
            }
        }
    }
    leaving.dismiss();
    m_chip.writeDisable();
    uint8_t status = 0;
    if (!m_chip.readStatus(status) || (status & SpiStatus::SST_AAI) != 0)
        return TransferFailed;
    return Done;
}
