#include "programmer/chips/eeprom/eeprom25xx.h"

#include "programmer/transport/spitransport.h"

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
    : EepromUnit(part, progress)
    , m_bus(bus)
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

uint32_t Eeprom25xx::readChunkAt(uint32_t) const
{
    // A 25xx read runs on to the end of the part: only the transport bounds a chunk.
    return uint32_t(m_bus.readChunk());
}

bool Eeprom25xx::readChunk(uint32_t address, int count, QByteArray &data)
{
    return m_bus.command(header(kRead, address), count, data);
}

Eeprom25xx::Result Eeprom25xx::waitWhileWriting(qint64 timeoutMs)
{
    // The typical cycle is a few milliseconds; the deadline covers the datasheets' 5-6 ms
    // maximum and a host slow to poll.
    constexpr qint64 kDefaultTimeoutMs = 100;
    return waitWriteCycle(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs, [&] {
        uint8_t status = 0;
        if (!readStatus(status))
            return -1;
        return status & kWip ? 0 : 1;
    });
}

Eeprom25xx::Result Eeprom25xx::writePage(uint32_t address, const QByteArray &bytes,
                                         qint64 timeoutMs)
{
    // WEL clears when each cycle ends: every page needs its own WREN. The cycle starts when the
    // chip select rises after the WRITE; its status polls ride behind it in the same exchange
    // (RDSR is the one instruction a part takes during a cycle).
    m_bus.send(QByteArray(1, char(kWriteEnable)));
    m_bus.send(header(kWrite, address) + bytes);
    const int polls = m_polls.length();
    for (int i = 0; i < polls; ++i)
        m_bus.queueWithAnswer(QByteArray(1, char(kReadStatus)) + char(0xFF));
    QByteArray answers(2 * polls, char(0));
    if (!m_bus.readQueuedAnswers(answers))
        return TransferFailed;
    int ready = 0;
    while (ready < polls && (answers.at(2 * ready + 1) & kWip))
        ++ready;
    return m_polls.learn(ready) ? Done : waitWhileWriting(timeoutMs);
}
