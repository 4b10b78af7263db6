#include "emulatedch347.h"

#include "buscost.h"
#include "emulatedch341.h"
#include "spidevice.h"
#include "virtualclock.h"

#include <algorithm>

namespace emu {

namespace {

constexpr std::size_t kHeaderLength = 3;
constexpr std::size_t kSelectLength = 10;
constexpr std::size_t kSpiInRequestLength = 4;
constexpr uint8_t kReadConfigurationArgument = 0x01;
// The 1-byte status a frame's answer carries where only its arrival counts.
constexpr uint8_t kStatusOk = 0x00;

// Chip-select entry, byte 0.
constexpr uint8_t kSelectApply = 0x80;
constexpr uint8_t kSelectDeassert = 0x40;

// Configuration offsets and values.
constexpr std::size_t kConfigMasterLow = 2; // 0x0104 little endian: SPI master
constexpr std::size_t kConfigMasterHigh = 3;
constexpr std::size_t kConfigClockPolarity = 6;   // bit 1
constexpr std::size_t kConfigClockPhase = 8;      // bit 0
constexpr std::size_t kConfigDivisor = 12;        // bits 5-3
constexpr std::size_t kConfigBitOrder = 14;       // bit 7: least significant bit first
constexpr std::size_t kConfigSelectPolarity = 21; // bit 7: CS1 active high
constexpr uint8_t kMasterLow = 0x04;
constexpr uint8_t kMasterHigh = 0x01;
constexpr uint8_t kClockPolarityBit = 0x02;
constexpr uint8_t kClockPhaseBit = 0x01;
constexpr unsigned kDivisorShift = 3;
constexpr uint8_t kDivisorMask = 0x07;
constexpr uint8_t kLsbFirst = 0x80;
constexpr uint8_t kSelect1ActiveHigh = 0x80;

} // namespace

EmulatedCh347::EmulatedCh347(VirtualClock &clock)
    : m_clock(clock)
{
}

void EmulatedCh347::attachChip(SpiDevice *chip)
{
    if (m_chip)
        m_chip->setSelected(false);
    m_chip = chip;
    updateChipSelect();
}

void EmulatedCh347::reset()
{
    m_config.fill(0);
    m_configured = false;
    m_select1Asserted = false;
    updateChipSelect();
}

bool EmulatedCh347::chipSelected() const
{
    // The chip's select is active low; an active-high line selects it when deasserted.
    const bool activeHigh = (m_config[kConfigSelectPolarity] & kSelect1ActiveHigh) != 0;
    return m_select1Asserted != activeHigh;
}

unsigned EmulatedCh347::clockDivisor() const
{
    return (m_config[kConfigDivisor] >> kDivisorShift) & kDivisorMask;
}

std::vector<std::vector<uint8_t>> EmulatedCh347::processOut(const std::vector<uint8_t> &out)
{
    std::vector<Frame> answers;
    m_clock.advanceNs(bus::highSpeedTransactionNs(out.size()));
    if (out.size() < kHeaderLength)
        return answers;
    const std::size_t length = std::size_t(out[1]) | std::size_t(out[2]) << 8;
    // Bytes after the frame are lost: one frame is one transfer.
    if (length > kMaxData || kHeaderLength + length > out.size())
        return answers;
    m_clock.advanceNs(bus::kCh347FrameNs);
    runFrame(out[0], out.data() + kHeaderLength, length, answers);
    return answers;
}

void EmulatedCh347::runFrame(uint8_t command, const uint8_t *data, std::size_t length,
                             std::vector<Frame> &answers)
{
    const bool spi = command == kCmdSpiDuplex || command == kCmdSpiIn || command == kCmdSpiOut;
    if (spi && !m_configured)
        return;
    switch (command) {
    case kCmdConfigure:
        if (length == kConfigLength) {
            configure(data);
            answer(kCmdConfigure, &kStatusOk, 1, answers);
        }
        return;
    case kCmdChipSelect:
        if (length == kSelectLength && (data[0] & kSelectApply)) {
            m_select1Asserted = (data[0] & kSelectDeassert) == 0;
            updateChipSelect();
        }
        return;
    case kCmdSpiDuplex: {
        Frame in(length);
        std::transform(data, data + length, in.begin(),
                       [this](uint8_t b) { return clockByte(b); });
        answer(kCmdSpiDuplex, in.data(), in.size(), answers);
        return;
    }
    case kCmdSpiIn: {
        if (length != kSpiInRequestLength)
            return;
        std::size_t count = std::size_t(data[0]) | std::size_t(data[1]) << 8 |
                            std::size_t(data[2]) << 16 | std::size_t(data[3]) << 24;
        while (count > 0) {
            Frame in(std::min(count, kMaxData));
            for (uint8_t &byte : in)
                byte = clockByte(kIdleByte);
            answer(kCmdSpiIn, in.data(), in.size(), answers);
            count -= in.size();
        }
        return;
    }
    case kCmdSpiOut:
        std::for_each(data, data + length, [this](uint8_t b) { clockByte(b); });
        answer(kCmdSpiOut, &kStatusOk, 1, answers);
        return;
    case kCmdReadConfiguration:
        if (length == 1 && data[0] == kReadConfigurationArgument)
            answer(kCmdReadConfiguration, m_config.data(), m_config.size(), answers);
        return;
    default:
        return; // unknown commands are ignored
    }
}

void EmulatedCh347::configure(const uint8_t *data)
{
    std::copy(data, data + kConfigLength, m_config.begin());
    m_configured =
        m_config[kConfigMasterLow] == kMasterLow && m_config[kConfigMasterHigh] == kMasterHigh;
    updateChipSelect();
}

void EmulatedCh347::answer(uint8_t command, const uint8_t *data, std::size_t length,
                           std::vector<Frame> &answers)
{
    Frame frame{command, uint8_t(length & 0xFF), uint8_t(length >> 8)};
    frame.insert(frame.end(), data, data + length);
    m_clock.advanceNs(bus::highSpeedTransactionNs(frame.size()));
    answers.push_back(std::move(frame));
}

// Only SPI mode 0 or 3 reaches a 25-series chip; in modes 1 and 2 it samples
// on the wrong edge, and the model lets it see nothing.
uint8_t EmulatedCh347::clockByte(uint8_t mosi)
{
    const uint64_t scaled = (bus::kCh347SpiByteNsTimes3 << clockDivisor()) + m_byteTimeRemainder;
    m_clock.advanceNs(scaled / 3);
    m_byteTimeRemainder = scaled % 3;
    const bool polarity = (m_config[kConfigClockPolarity] & kClockPolarityBit) != 0;
    const bool phase = (m_config[kConfigClockPhase] & kClockPhaseBit) != 0;
    if (!m_chip || !m_chip->isSelected() || polarity != phase)
        return 0xFF;
    ++m_spiBytesClocked;
    const bool lsbFirst = (m_config[kConfigBitOrder] & kLsbFirst) != 0;
    const uint8_t onWire = lsbFirst ? mirrorBits(mosi) : mosi;
    const uint8_t miso = m_chip->transfer(onWire);
    return lsbFirst ? mirrorBits(miso) : miso;
}

void EmulatedCh347::updateChipSelect()
{
    if (!m_chip)
        return;
    m_chip->setSelected(chipSelected());
    // What the wires must carry: 60 MHz / 2^divisor.
    constexpr uint32_t kBaseClockKHz = 60000;
    m_chip->setSpiClockKHz(m_configured ? kBaseClockKHz >> clockDivisor() : 0);
}

std::unique_ptr<EmulatedBridge> makeEmulatedBridge(ch341::BridgeKind kind, VirtualClock &clock)
{
    if (kind == ch341::BridgeKind::Ch347)
        return std::make_unique<EmulatedCh347>(clock);
    return std::make_unique<EmulatedCh341>(clock);
}

} // namespace emu
