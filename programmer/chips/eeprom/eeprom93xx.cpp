#include "programmer/chips/eeprom/eeprom93xx.h"

#include "programmer/transport/microwiretransport.h"

namespace {
constexpr uint32_t kRead = 0b10;
constexpr uint32_t kWrite = 0b01;
constexpr uint32_t kSpecial = 0b00;
// The two address bits after opcode 00 that choose EWEN and EWDS.
constexpr uint32_t kEnable = 0b11;
constexpr uint32_t kDisable = 0b00;
// One READ carries this many bytes: the UIO stream costs three pin commands a bit, so a chunk
// is a few hundred 32-byte packets, and a stop is honoured between chunks.
constexpr uint32_t kReadChunkBytes = 256;
// The typical cycle is 2-6 ms; the deadline covers a host slow to poll.
constexpr qint64 kDefaultTimeoutMs = 100;

// bits bits of value, most significant first, packed from the top of the first byte.
QByteArray Packed(quint64 value, int bits)
{
    QByteArray bytes((bits + 7) / 8, char(0));
    for (int i = 0; i < bits; ++i) {
        if ((value >> (bits - 1 - i)) & 1)
            bytes[i / 8] = char(uint8_t(bytes.at(i / 8)) | 0x80 >> (i % 8));
    }
    return bytes;
}

bool BitAt(const QByteArray &bytes, int i)
{
    return (uint8_t(bytes.at(i / 8)) >> (7 - i % 8)) & 1;
}
} // namespace

Eeprom93xx::Eeprom93xx(MicrowireTransport &bus, const EepromPart &part, ChipProgress &progress)
    : EepromUnit(part, progress)
    , m_bus(bus)
{
}

int Eeprom93xx::addressBits() const
{
    return m_part.addressBits + (m_part.wordBits == 8 ? 1 : 0);
}

bool Eeprom93xx::send(uint32_t opcode, uint32_t address, uint32_t data, int dataBits)
{
    const int k = addressBits();
    const quint64 header = quint64(1) << (2 + k) | quint64(opcode) << k | address;
    const int bits = 3 + k + dataBits;
    QByteArray none;
    return m_bus.instruction(Packed(header << dataBits | data, bits), uint32_t(bits), 0, none);
}

bool Eeprom93xx::readWords(uint32_t word, int count, bool &dummyLow, QByteArray &data)
{
    const int k = addressBits();
    const quint64 header = quint64(1) << (2 + k) | quint64(kRead) << k | word;
    const uint32_t samples = 1 + 8 * uint32_t(count);
    QByteArray in;
    if (!m_bus.instruction(Packed(header, 3 + k), uint32_t(3 + k), samples, in))
        return false;
    dummyLow = !BitAt(in, 0);
    data = QByteArray(count, char(0));
    for (int i = 0; i < 8 * count; ++i) {
        if (BitAt(in, 1 + i))
            data[i / 8] = char(uint8_t(data.at(i / 8)) | 0x80 >> (i % 8));
    }
    return true;
}

Eeprom93xx::Presence Eeprom93xx::presence()
{
    bool dummyLow = false;
    QByteArray data;
    if (!readWords(0, wordBytes(), dummyLow, data))
        return Presence::TransferFailed;
    return dummyLow ? Presence::Answers : Presence::Silent;
}

uint32_t Eeprom93xx::readChunkAt(uint32_t) const
{
    return kReadChunkBytes;
}

bool Eeprom93xx::readChunk(uint32_t address, int count, QByteArray &data)
{
    // Spans start on a word and the chip ends on one; an odd count is read up to its word.
    const int words = (count + wordBytes() - 1) / wordBytes();
    bool dummyLow = false;
    if (!readWords(address / uint32_t(wordBytes()), words * wordBytes(), dummyLow, data))
        return false;
    data.truncate(count);
    return true;
}

Eeprom93xx::Result Eeprom93xx::waitReady(qint64 timeoutMs)
{
    return waitWriteCycle(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs, [&] {
        bool ready = false;
        if (!m_bus.ready(ready))
            return -1;
        return ready ? 1 : 0;
    });
}

Eeprom93xx::Result Eeprom93xx::writePage(uint32_t address, const QByteArray &bytes,
                                         qint64 timeoutMs)
{
    // A page is one word; a short image's last byte of an x16 word keeps the chip's other byte.
    QByteArray word = bytes;
    if (word.size() < wordBytes()) {
        QByteArray chip;
        if (!readChunk(address, wordBytes(), chip))
            return TransferFailed;
        word.append(chip.mid(word.size()));
    }
    uint32_t data = 0;
    for (const char byte : word)
        data = data << 8 | uint8_t(byte);
    if (!send(kWrite, address / uint32_t(wordBytes()), data, m_part.wordBits))
        return TransferFailed;
    return waitReady(timeoutMs);
}

Eeprom93xx::Result Eeprom93xx::beginWrites()
{
    // The part powers up write-disabled: without EWEN every WRITE is ignored.
    const int k = addressBits();
    return send(kSpecial, kEnable << (k - 2), 0, 0) ? Done : TransferFailed;
}

Eeprom93xx::Result Eeprom93xx::endWrites()
{
    const int k = addressBits();
    return send(kSpecial, kDisable << (k - 2), 0, 0) ? Done : TransferFailed;
}
