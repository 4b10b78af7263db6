#pragma once

#include "emulatedbridge.h"

#include <cstdint>
#include <vector>

namespace emu {

// The CH341A's firmware: it interprets bulk OUT data packet by packet and
// drives the pins. Runs on the thread that drives the emulated link.
class EmulatedCh341 : public EmulatedBridge
{
public:
    // Pin map of the D port (UIO bits).
    //   bit  pin  use
    //   D0   15   CS, active low
    //   D3   18   SCK
    //   D5   20   MOSI
    //   D6   21   unused, input only
    //   D7   22   MISO, input only
    static constexpr uint8_t kPinCs = 0x01;
    static constexpr uint8_t kPinSck = 0x08;
    static constexpr uint8_t kPinMosi = 0x20;
    static constexpr uint8_t kPinDin2 = 0x40;
    static constexpr uint8_t kPinMiso = 0x80;

    explicit EmulatedCh341(VirtualClock &clock);

    void attachChip(SpiDevice *chip) override;
    // Power-up state: all pins inputs, stream mode 0.
    void reset() override;
    std::vector<std::vector<uint8_t>> processOut(const std::vector<uint8_t> &out) override;
    bool chipSelected() const override;
    bool released() const override { return m_directions == 0; }
    uint64_t spiBytesClocked() const override { return m_spiBytesClocked; }

    uint8_t pinDirections() const { return m_directions; }
    uint8_t pinLevels() const { return m_levels; }
    uint8_t streamMode() const { return m_streamMode; }

private:
    using Packet = std::vector<uint8_t>;
    void processPacket(const uint8_t *data, std::size_t size, std::vector<Packet> &replies);
    void runPacket(const uint8_t *data, std::size_t size, std::vector<Packet> &replies);
    void runUioStream(const uint8_t *data, std::size_t size, std::vector<Packet> &replies);
    void runI2cStream(const uint8_t *data, std::size_t size);
    void runSpiStream(const uint8_t *data, std::size_t size, std::vector<Packet> &replies);
    uint8_t clockSpiByte(uint8_t wireByte);
    uint8_t readPins() const;
    void updateChipSelect();
    void advanceSpiBytes(uint64_t bytes);

    VirtualClock &m_clock;
    SpiDevice *m_chip = nullptr;
    uint8_t m_directions = 0; // 1 = output, D5..D0
    uint8_t m_levels = 0;     // D5..D0
    uint8_t m_streamMode = 0;
    uint64_t m_byteTimeRemainder = 0; // in 29ths of a nanosecond
    uint64_t m_spiBytesClocked = 0;
};

} // namespace emu
