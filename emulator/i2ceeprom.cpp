#include "i2ceeprom.h"

#include "virtualclock.h"

namespace emu {

namespace {

constexpr uint8_t kDeviceTypeMask = 0xF0;
constexpr uint8_t kDeviceType = 0xA0; // 1010
constexpr uint8_t kPinBits = 0x0E;    // A2 A1 A0, or the block bits
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kReleasedBus = 0xFF;

} // namespace

I2cEeprom::I2cEeprom(const ChipModel &model, VirtualClock &clock)
    : m_model(model)
    , m_clock(clock)
    , m_memory(model.sizeBytes, kErased)
{
}

bool I2cEeprom::isBusy() const
{
    return m_clock.nowNs() < m_busyUntilNs;
}

void I2cEeprom::powerCycle()
{
    m_busyUntilNs = 0;
    m_pointer = 0;
    m_state = State::Idle;
    m_pageBuffer.clear();
}

// A START or STOP is a change of SDA while SCL is high: it cannot happen while the part
// holds SDA after a read the host acknowledged.
void I2cEeprom::start()
{
    if (m_state == State::HoldingSda || (m_state == State::Reading && m_lastReadAcknowledged)) {
        m_state = State::HoldingSda;
        return;
    }
    // A page write not ended by STOP starts nothing.
    m_pageBuffer.clear();
    m_state = State::DeviceByte;
}

void I2cEeprom::stop()
{
    if (m_state == State::HoldingSda || (m_state == State::Reading && m_lastReadAcknowledged)) {
        m_state = State::HoldingSda;
        return;
    }
    // The write cycle starts at a STOP that follows a data byte's acknowledge.
    if (m_state == State::Writing && !m_pageBuffer.empty()) {
        for (const auto &[offset, value] : m_pageBuffer)
            m_memory[m_pageBase + offset] = value;
        m_writeCycles.push_back({m_writeStart, m_bytesSent});
        m_busyUntilNs = m_clock.nowNs() + m_model.writeCycleNs;
    }
    m_pageBuffer.clear();
    m_state = State::Idle;
}

bool I2cEeprom::write(uint8_t byte)
{
    switch (m_state) {
    case State::DeviceByte:
        return takeDeviceByte(byte);
    case State::WordAddress:
        m_wordAddress = m_wordAddress << 8 | byte;
        if (++m_addressBytesSeen == m_model.i2cAddressBytes) {
            m_pointer = (m_block << (8 * m_model.i2cAddressBytes) | m_wordAddress) & sizeMask();
            m_pageBase = m_pointer - m_pointer % m_model.pageSize;
            m_writeStart = m_pointer;
            m_bytesSent = 0;
            m_state = State::Writing;
        }
        return true;
    case State::Writing: {
        if (m_writeProtected)
            return !m_model.stWriteControl;
        // The low address bits count inside the page and wrap to its start.
        const uint32_t offset = (m_writeStart - m_pageBase + m_bytesSent++) % m_model.pageSize;
        m_pageBuffer[offset] = byte;
        m_pointer = m_pageBase + (offset + 1) % m_model.pageSize;
        return true;
    }
    case State::HoldingSda:
        // The part shifts its next byte out against the host's; no acknowledge comes in the
        // ninth clock, so it lets SDA go. The host sees its byte refused.
        m_pointer = (m_pointer + 1) & sizeMask();
        m_state = State::Idle;
        return false;
    case State::Idle:
    case State::Reading:
        break;
    }
    return false;
}

bool I2cEeprom::takeDeviceByte(uint8_t byte)
{
    if (m_model.i2cAddressBytes == 0)
        return takeWordAddressByte(byte);
    const uint8_t pins = byte & kPinBits & ~m_model.i2cBlockBits;
    // During the write cycle every input is ignored: the address is refused.
    if (isBusy() || (byte & kDeviceTypeMask) != kDeviceType || pins != 0) {
        m_state = State::Idle;
        return false;
    }
    if (byte & kReadBit) {
        // A current-address read follows the pointer over the whole array.
        m_state = State::Reading;
        m_lastReadAcknowledged = false;
        return true;
    }
    m_block = uint32_t(byte & m_model.i2cBlockBits) >> 1;
    m_wordAddress = 0;
    m_addressBytesSeen = 0;
    m_state = State::WordAddress;
    return true;
}

// The original 24C01 (X24C01) has no device address: its first byte is the 7-bit word address
// and R/W, for a write and for a read alike.
bool I2cEeprom::takeWordAddressByte(uint8_t byte)
{
    if (isBusy()) {
        m_state = State::Idle;
        return false;
    }
    m_pointer = uint32_t(byte >> 1) & sizeMask();
    if (byte & kReadBit) {
        m_state = State::Reading;
        m_lastReadAcknowledged = false;
        return true;
    }
    m_pageBase = m_pointer - m_pointer % m_model.pageSize;
    m_writeStart = m_pointer;
    m_bytesSent = 0;
    m_state = State::Writing;
    return true;
}

uint8_t I2cEeprom::read(bool acknowledge)
{
    if (m_state != State::Reading && m_state != State::HoldingSda)
        return kReleasedBus;
    // Sequential reads run over the whole array and wrap from its last byte to 0.
    const uint8_t value = m_memory[m_pointer];
    m_pointer = (m_pointer + 1) & sizeMask();
    m_lastReadAcknowledged = acknowledge;
    if (!acknowledge)
        m_state = State::Idle;
    else
        m_state = State::Reading;
    return value;
}

} // namespace emu
