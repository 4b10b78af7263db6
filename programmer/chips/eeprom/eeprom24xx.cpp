#include "programmer/chips/eeprom/eeprom24xx.h"

#include "programmer/transport/i2ctransport.h"

namespace {
constexpr uint8_t kDeviceType = 0xA0; // 1010, then A2 A1 A0 (or block bits), R/W
// The longest write cycle of the list's datasheets is 6 ms (FM24C256); a host slow to poll
// gets four times that, as Linux's at24 does.
constexpr qint64 kWriteCycleMs = 25;
// One read transaction at most: the progress and a stop come at least this often.
constexpr uint32_t kMostReadBytes = 4096;
} // namespace

Eeprom24xx::Eeprom24xx(I2cTransport &bus, const EepromPart &part, ChipProgress &progress)
    : EepromUnit(part, progress)
    , m_bus(bus)
{
}

uint32_t Eeprom24xx::blockSize() const
{
    // The original 24C01's 7 bits reach the whole part.
    return m_part.addressBytes == 0 ? m_part.size : 1u << (8 * m_part.addressBytes);
}

QByteArray Eeprom24xx::header(uint32_t address) const
{
    if (m_part.addressBytes == 0)
        return QByteArray(1, char((address & 0x7F) << 1));
    const uint32_t blockMask = (1u << m_part.blockBits) - 1;
    const uint32_t block = (address >> (8 * m_part.addressBytes)) & blockMask;
    QByteArray bytes(1, char(kDeviceType | block << 1));
    for (int shift = 8 * (m_part.addressBytes - 1); shift >= 0; shift -= 8)
        bytes.append(char(address >> shift));
    return bytes;
}

Eeprom24xx::Presence Eeprom24xx::presence()
{
    switch (waitWhileWriting(kWriteCycleMs)) {
    case Done:
        return Presence::Answers;
    case TransferFailed:
        return Presence::TransferFailed;
    default:
        return Presence::Silent;
    }
}

uint32_t Eeprom24xx::readChunkAt(uint32_t address) const
{
    // A sequential read runs on over the block bits of the pointer, but the next chunk would
    // need them in its device address: each chunk ends at its block's end.
    const uint32_t block = blockSize();
    return qMin(kMostReadBytes, block - address % block);
}

bool Eeprom24xx::readChunk(uint32_t address, int count, QByteArray &data)
{
    // A random read: the word address written, then a repeated START and the read.
    // (The original 24C01 takes its address in the read byte itself: the write of it
    // before the repeated START sets nothing that matters.)
    return m_bus.transfer(header(address), count, data);
}

Eeprom24xx::Result Eeprom24xx::waitWhileWriting(qint64 timeoutMs)
{
    // The part refuses its device address until the cycle ends.
    const QByteArray address = header(0).left(1);
    return waitWriteCycle(timeoutMs > 0 ? timeoutMs : kWriteCycleMs, [&] {
        QByteArray none;
        return qBound(-1, m_bus.acknowledged(address, 0, none), 1);
    });
}

Eeprom24xx::Result Eeprom24xx::writePage(uint32_t address, const QByteArray &bytes,
                                         qint64 timeoutMs)
{
    // The cycle starts at the STOP after the last data byte; its ACK polls ride behind it.
    const int ready = m_bus.writeThenPoll(header(address) + bytes, m_polls.length());
    if (ready < 0)
        return TransferFailed;
    return m_polls.learn(ready) ? Done : waitWhileWriting(timeoutMs);
}
