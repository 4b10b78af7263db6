#include "programmer/chips/eeprom/eeprom25xx.h"

#include "programmer/chips/chipprogress.h"
#include "programmer/transport/spitransport.h"

#include <QDeadlineTimer>

namespace {
constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kWrite = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kOpcodeA8 = 0x08;
constexpr uint8_t kWip = 0x01;
constexpr uint8_t kWel = 0x02;
} // namespace

Eeprom25xx::Eeprom25xx(SpiTransport &bus, const EepromPart &part, ChipProgress &progress)
    : m_bus(bus)
    , m_part(part)
    , m_progress(progress)
{
}

bool Eeprom25xx::readStatus(uint8_t &status)
{
    QByteArray answer;
    if (!m_bus.command(QByteArray(1, char(kReadStatus)), 1, answer))
        return false;
    status = uint8_t(answer.at(0));
    return true;
}

Eeprom25xx::Presence Eeprom25xx::presence()
{
    uint8_t status = 0;
    if (!readStatus(status))
        return Presence::TransferFailed;
    if (status != 0xFF && status != 0x00)
        return Presence::Answers;
    uint8_t enabled = 0;
    uint8_t disabled = 0;
    m_bus.send(QByteArray(1, char(kWriteEnable)));
    const bool read = readStatus(enabled);
    m_bus.send(QByteArray(1, char(kWriteDisable)));
    if (!read || !readStatus(disabled))
        return Presence::TransferFailed;
    return (enabled & kWel) && !(disabled & kWel) ? Presence::Answers : Presence::Silent;
}

Eeprom25xx::Result Eeprom25xx::clearProtection(uint8_t &status)
{
    if (!readStatus(status))
        return TransferFailed;
    m_bus.send(QByteArray(1, char(kWriteEnable)));
    const char cleared = char(status & kWpen);
    m_bus.send(QByteArray(1, char(kWriteStatus)) + cleared);
    // WRSR takes a write cycle like a page.
    const Result waited = waitWhileWriting(0);
    if (waited != Done)
        return waited;
    if (!readStatus(status))
        return TransferFailed;
    return (status & kBlockProtectBits) ? Differs : Done;
}

QByteArray Eeprom25xx::header(uint8_t opcode, uint32_t address) const
{
    if (m_part.a8InOpcode && (address & 0x100))
        opcode |= kOpcodeA8;
    QByteArray bytes(1, char(opcode));
    for (int shift = 8 * (m_part.addressBytes - 1); shift >= 0; shift -= 8)
        bytes.append(char(address >> shift));
    return bytes;
}

Eeprom25xx::Result Eeprom25xx::read(const QVector<ChipSpan> &spans, int chunk, QByteArray &result,
                                    const QByteArray *expected)
{
    qulonglong total = 0;
    for (const ChipSpan &span : spans)
        total += span.length;
    result = QByteArray(int(m_part.size), char(0xFF));
    m_progress.started(ChipActivity::Read, total);
    qulonglong done = 0;
    for (const ChipSpan &span : spans) {
        for (uint32_t offset = 0; offset < span.length; offset += uint32_t(chunk)) {
            if (m_progress.stopRequested())
                return Stopped;
            const uint32_t address = span.start + offset;
            const int count = int(qMin(uint32_t(chunk), span.length - offset));
            QByteArray data;
            if (!m_bus.command(header(kRead, address), count, data))
                return TransferFailed;
            result.replace(int(address), count, data);
            done += uint32_t(count);
            m_progress.advanced(ChipActivity::Read, done, total);
            if (expected && expected->mid(int(address), count) != data)
                return Differs;
        }
    }
    return Done;
}

Eeprom25xx::Result Eeprom25xx::waitWhileWriting(qint64 timeoutMs)
{
    // The typical cycle is a few milliseconds; the deadline covers the datasheets' 5-6 ms
    // maximum and a host slow to poll. One more poll after it: a host that stalled never
    // times out a part that has finished. Each poll is a USB round trip: no sleep between.
    constexpr qint64 kDefaultTimeoutMs = 100;
    const QDeadlineTimer deadline(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs, Qt::PreciseTimer);
    for (;;) {
        const bool expired = deadline.hasExpired();
        uint8_t status = 0;
        if (!readStatus(status))
            return TransferFailed;
        if (!(status & kWip))
            return Done;
        if (expired)
            return TimedOut;
    }
}

Eeprom25xx::Result Eeprom25xx::write(const QVector<ChipSpan> &spans, const QByteArray &wanted,
                                     qint64 timeoutMs)
{
    qulonglong total = 0;
    for (const ChipSpan &span : spans)
        total += span.length;
    m_progress.started(ChipActivity::Write, total);
    qulonglong done = 0;
    m_reached = spans.isEmpty() ? 0 : spans.first().start;
    for (const ChipSpan &span : spans) {
        if (m_progress.stopRequested())
            return Stopped;
        // WEL clears when each cycle ends: every page needs its own WREN.
        m_bus.send(QByteArray(1, char(kWriteEnable)));
        m_bus.send(header(kWrite, span.start) + wanted.mid(int(span.start), int(span.length)));
        const Result waited = waitWhileWriting(timeoutMs);
        if (waited != Done)
            return waited;
        m_reached = span.start + span.length;
        done += span.length;
        m_progress.advanced(ChipActivity::Write, done, total);
    }
    return Done;
}

QVector<ChipSpan> Eeprom25xx::pagesOf(uint32_t start, uint32_t length) const
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

QVector<ChipSpan> Eeprom25xx::changedPages(const QByteArray &old, const QByteArray &wanted) const
{
    QVector<ChipSpan> spans;
    for (const ChipSpan &page : pagesOf(0, uint32_t(wanted.size()))) {
        if (old.mid(int(page.start), int(page.length)) !=
            wanted.mid(int(page.start), int(page.length)))
            spans.append(page);
    }
    return spans;
}
