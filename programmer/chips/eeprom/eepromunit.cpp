#include "programmer/chips/eeprom/eepromunit.h"

#include "programmer/chips/chipprogress.h"

#include <QDeadlineTimer>

namespace {
qulonglong TotalOf(const QVector<ChipSpan> &spans)
{
    qulonglong total = 0;
    for (const ChipSpan &span : spans)
        total += span.length;
    return total;
}
// No USB bus completes a round trip in less than a 125 us microframe.
constexpr qint64 kPollsPerMs = 8;

// Adjacent spans (a write's pages) joined: a read-back then takes whole chunks, not a page each.
QVector<ChipSpan> Joined(const QVector<ChipSpan> &spans)
{
    QVector<ChipSpan> runs;
    for (const ChipSpan &span : spans) {
        if (!runs.isEmpty() && runs.last().start + runs.last().length == span.start)
            runs.last().length += span.length;
        else
            runs.append(span);
    }
    return runs;
}
} // namespace

EepromUnit::EepromUnit(const EepromPart &part, ChipProgress &progress)
    : m_part(part)
    , m_progress(progress)
{
}

EepromUnit::Result EepromUnit::read(const QVector<ChipSpan> &spans, QByteArray &result,
                                    const QByteArray *expected)
{
    const qulonglong total = TotalOf(spans);
    result = QByteArray(int(m_part.size), char(0xFF));
    m_progress.started(ChipActivity::Read, total);
    qulonglong done = 0;
    for (const ChipSpan &span : Joined(spans)) {
        const uint32_t end = span.start + span.length;
        for (uint32_t address = span.start; address < end;) {
            if (m_progress.stopRequested())
                return Stopped;
            const int count = int(qMin(readChunkAt(address), end - address));
            QByteArray data;
            if (!readChunk(address, count, data))
                return TransferFailed;
            result.replace(int(address), count, data);
            done += uint32_t(count);
            m_progress.advanced(ChipActivity::Read, done, total);
            if (expected && expected->mid(int(address), count) != data)
                return Differs;
            address += uint32_t(count);
        }
    }
    return Done;
}

EepromUnit::Result EepromUnit::write(const QVector<ChipSpan> &spans, const QByteArray &wanted,
                                     qint64 timeoutMs)
{
    const qulonglong total = TotalOf(spans);
    m_progress.started(ChipActivity::Write, total);
    qulonglong done = 0;
    m_reached = spans.isEmpty() ? 0 : spans.first().start;
    const Result begun = beginWrites();
    if (begun != Done)
        return begun;
    for (const ChipSpan &span : spans) {
        if (m_progress.stopRequested()) {
            endWrites();
            return Stopped;
        }
        const Result written =
            writePage(span.start, wanted.mid(int(span.start), int(span.length)), timeoutMs);
        if (written != Done) {
            // A part left write-enabled after a time-out would take any glitch as a write
            // (93xx EWDS); after a failed transfer nothing more is sent anyway.
            endWrites();
            return written;
        }
        m_reached = span.start + span.length;
        done += span.length;
        m_progress.advanced(ChipActivity::Write, done, total);
    }
    return endWrites();
}

EepromUnit::Result EepromUnit::erase(qint64 timeoutMs)
{
    return write(pagesOf(0, m_part.size), QByteArray(int(m_part.size), char(0xFF)), timeoutMs);
}

QVector<ChipSpan> EepromUnit::pagesOf(uint32_t start, uint32_t length) const
{
    QVector<ChipSpan> spans;
    const uint32_t end = start + length;
    for (uint32_t address = start; address < end;) {
        const uint32_t pageEnd = (address / m_part.page + 1) * m_part.page;
        const uint32_t stop = qMin(pageEnd, end);
        spans.append({address, stop - address});
        address = stop;
    }
    return spans;
}

QVector<ChipSpan> EepromUnit::changedPages(const QByteArray &old, const QByteArray &wanted) const
{
    QVector<ChipSpan> spans;
    for (const ChipSpan &page : pagesOf(0, uint32_t(wanted.size()))) {
        if (old.mid(int(page.start), int(page.length)) !=
            wanted.mid(int(page.start), int(page.length)))
            spans.append(page);
    }
    return spans;
}

EepromUnit::Result EepromUnit::waitWriteCycle(qint64 timeoutMs, const std::function<int()> &poll)
{
    // Each poll is a USB round trip: no sleep between. One more poll after the deadline: a host
    // that stalled never times out a part that has finished. The deadline also needs as many
    // refused polls as could fit in it: a part's time is the bus's, and on the emulated bridge
    // it moves only with the traffic, so a host descheduled mid-cycle (a loaded machine) must
    // not spend it. On a real bus this lengthens only the wait for a part that never ends.
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    const qint64 fewestRefusals = timeoutMs * kPollsPerMs;
    for (qint64 refusals = 0;; ++refusals) {
        const bool expired = deadline.hasExpired() && refusals >= fewestRefusals;
        const int answer = poll();
        if (answer < 0)
            return TransferFailed;
        if (answer > 0)
            return Done;
        if (expired)
            return TimedOut;
    }
}
