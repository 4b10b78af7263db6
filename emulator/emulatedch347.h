#pragma once

#include "emulatedbridge.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

// The CH347's SPI firmware (interface 2 of a CH347T, 4 of a CH347F): it takes
// one frame per bulk OUT transfer (command, 16-bit little-endian length, up
// to 507 bytes) and answers with frames of its own. Anything it cannot read
// as one whole frame it ignores, as it does SPI frames before it has been
// configured as SPI master. Runs on the thread that drives the emulated link.
class EmulatedCh347 : public EmulatedBridge
{
public:
    static constexpr uint8_t kCmdConfigure = 0xC0;
    static constexpr uint8_t kCmdChipSelect = 0xC1;
    static constexpr uint8_t kCmdSpiDuplex = 0xC2;
    static constexpr uint8_t kCmdSpiIn = 0xC3;
    static constexpr uint8_t kCmdSpiOut = 0xC4;
    static constexpr uint8_t kCmdReadConfiguration = 0xCA;
    static constexpr std::size_t kMaxData = 507;
    static constexpr std::size_t kConfigLength = 26;
    // What MOSI carries while 0xC3 reads in. No public source names the
    // configuration field behind it and both drivers leave every unnamed
    // field 0, so the model sends 0x00: a driver that needs another byte on
    // the line must send it.
    static constexpr uint8_t kIdleByte = 0x00;

    explicit EmulatedCh347(VirtualClock &clock);

    void attachChip(SpiDevice *chip) override;
    // Power-up state: not configured, chip selects high.
    void reset() override;
    std::vector<std::vector<uint8_t>> processOut(const std::vector<uint8_t> &out) override;
    bool chipSelected() const override;
    bool released() const override { return !chipSelected(); }
    uint64_t spiBytesClocked() const override { return m_spiBytesClocked; }

    bool isConfigured() const { return m_configured; }
    // 60 MHz / 2^divisor.
    unsigned clockDivisor() const;

private:
    using Frame = std::vector<uint8_t>;

    void runFrame(uint8_t command, const uint8_t *data, std::size_t length,
                  std::vector<Frame> &answers);
    void configure(const uint8_t *data);
    void answer(uint8_t command, const uint8_t *data, std::size_t length,
                std::vector<Frame> &answers);
    uint8_t clockByte(uint8_t mosi);
    void updateChipSelect();

    VirtualClock &m_clock;
    SpiDevice *m_chip = nullptr;
    std::array<uint8_t, kConfigLength> m_config{};
    bool m_configured = false;
    bool m_select1Asserted = false;
    uint64_t m_byteTimeRemainder = 0; // in thirds of a nanosecond
    uint64_t m_spiBytesClocked = 0;
};

} // namespace emu
