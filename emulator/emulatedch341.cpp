#include "emulatedch341.h"

#include "buscost.h"
#include "spidevice.h"
#include "virtualclock.h"

#include <algorithm>

namespace emu {

namespace {

constexpr std::size_t kPacketSize = 32;

// First byte of each OUT packet.
constexpr uint8_t kCmdSpiStream = 0xA8;
constexpr uint8_t kCmdI2cStream = 0xAA;
constexpr uint8_t kCmdUioStream = 0xAB;

// UIO stream sub-commands: the top two bits pick one, the rest is its value.
constexpr uint8_t kUioRead = 0x00;
constexpr uint8_t kUioEnd = 0x20;
constexpr uint8_t kUioDirections = 0x40;
constexpr uint8_t kUioLevels = 0x80;
constexpr uint8_t kUioDelayUs = 0xC0;
constexpr uint8_t kUioKindMask = 0xC0;
constexpr uint8_t kUioValueMask = 0x3F;

// I2C stream sub-commands.
constexpr uint8_t kI2cEnd = 0x00;
constexpr uint8_t kI2cDelayUs = 0x40;
constexpr uint8_t kI2cDelayMs = 0x50;
constexpr uint8_t kI2cSet = 0x60;
constexpr uint8_t kI2cKindMask = 0xF0;
constexpr uint8_t kI2cValueMask = 0x0F;

} // namespace

uint8_t mirrorBits(uint8_t value)
{
    uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        result = static_cast<uint8_t>((result << 1) | ((value >> bit) & 1));
    }
    return result;
}

EmulatedCh341::EmulatedCh341(VirtualClock &clock)
    : m_clock(clock)
{
}

void EmulatedCh341::attachChip(SpiDevice *chip)
{
    if (m_chip) {
        m_chip->setSelected(false);
    }
    m_chip = chip;
    updateChipSelect();
}

void EmulatedCh341::reset()
{
    m_directions = 0;
    m_levels = 0;
    m_streamMode = 0;
    updateChipSelect();
}

bool EmulatedCh341::chipSelected() const
{
    // An input D0 floats high, which deselects.
    return (m_directions & kPinCs) && !(m_levels & kPinCs);
}

std::vector<std::vector<uint8_t>> EmulatedCh341::processOut(const std::vector<uint8_t> &out)
{
    std::vector<Packet> replies;
    for (std::size_t start = 0; start < out.size(); start += kPacketSize) {
        const std::size_t size = std::min(kPacketSize, out.size() - start);
        processPacket(out.data() + start, size, replies);
    }
    return replies;
}

// The bridge takes one packet after the other: each costs its OUT
// transaction, then its own work, then the IN transaction of its reply.
void EmulatedCh341::processPacket(const uint8_t *data, std::size_t size,
                                  std::vector<Packet> &replies)
{
    m_clock.advanceNs(bus::kOutTransactionNs);
    const std::size_t repliesBefore = replies.size();
    runPacket(data, size, replies);
    if (replies.size() > repliesBefore) {
        m_clock.advanceNs(bus::kInTransactionNs);
    }
}

void EmulatedCh341::runPacket(const uint8_t *data, std::size_t size, std::vector<Packet> &replies)
{
    switch (data[0]) {
    case kCmdUioStream:
        runUioStream(data + 1, size - 1, replies);
        return;
    case kCmdI2cStream:
        runI2cStream(data + 1, size - 1);
        return;
    case kCmdSpiStream:
        runSpiStream(data + 1, size - 1, replies);
        return;
    default:
        return; // unknown commands are ignored
    }
}

void EmulatedCh341::runUioStream(const uint8_t *data, std::size_t size,
                                 std::vector<Packet> &replies)
{
    Packet pins;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t value = data[i] & kUioValueMask;
        if (data[i] == kUioEnd) {
            break; // the rest of the packet is padding
        }
        m_clock.advanceNs(bus::kUioCommandNs);
        switch (data[i] & kUioKindMask) {
        case kUioDirections:
            m_directions = value;
            updateChipSelect();
            break;
        case kUioLevels:
            m_levels = value;
            updateChipSelect();
            break;
        case kUioDelayUs:
            m_clock.advanceNs(value * VirtualClock::kNsPerUs);
            break;
        default:
            if (data[i] == kUioRead) {
                pins.push_back(readPins());
            }
            break;
        }
    }
    if (!pins.empty()) {
        replies.push_back(pins);
    }
}

void EmulatedCh341::runI2cStream(const uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size && data[i] != kI2cEnd; ++i) {
        const uint8_t value = data[i] & kI2cValueMask;
        switch (data[i] & kI2cKindMask) {
        case kI2cSet:
            m_streamMode = value;
            break;
        case kI2cDelayUs:
            m_clock.advanceNs(value * VirtualClock::kNsPerUs);
            break;
        case kI2cDelayMs:
            m_clock.advanceNs(value * VirtualClock::kNsPerMs);
            break;
        default:
            break; // no I2C bus is attached
        }
    }
}

void EmulatedCh341::runSpiStream(const uint8_t *data, std::size_t size,
                                 std::vector<Packet> &replies)
{
    if (size == 0) {
        return;
    }
    m_clock.advanceNs(bus::kSpiFirmwareNs);
    Packet reply(size);
    for (std::size_t i = 0; i < size; ++i) {
        reply[i] = clockSpiByte(data[i]);
        advanceSpiBytes(1);
    }
    m_spiBytesClocked += size;
    replies.push_back(reply);
}

// The hardware shifts each USB byte out least significant bit first, so the
// chip sees it mirrored, and its answer arrives mirrored too.
uint8_t EmulatedCh341::clockSpiByte(uint8_t wireByte)
{
    const bool clockDriven = (m_directions & kPinSck) && (m_directions & kPinMosi);
    if (!m_chip || !clockDriven) {
        return 0xFF;
    }
    return mirrorBits(m_chip->transfer(mirrorBits(wireByte)));
}

uint8_t EmulatedCh341::readPins() const
{
    // Inputs are pulled high; D6 and D7 are inputs only, and MISO reads high
    // when no chip drives it.
    const uint8_t inputs = static_cast<uint8_t>(~m_directions & kUioValueMask);
    return static_cast<uint8_t>((m_levels & m_directions) | inputs | kPinDin2 | kPinMiso);
}

void EmulatedCh341::updateChipSelect()
{
    if (m_chip) {
        m_chip->setSelected(chipSelected());
    }
}

void EmulatedCh341::advanceSpiBytes(uint64_t bytes)
{
    const uint64_t scaled = bytes * bus::kSpiByteNsTimes29 + m_byteTimeRemainder;
    m_clock.advanceNs(scaled / 29);
    m_byteTimeRemainder = scaled % 29;
}

} // namespace emu
