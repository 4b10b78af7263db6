#pragma once

// What a bridge's USB traffic costs in time: the one bus model behind the
// emulated programmer, the paced demo and every benchmark. The CH341A's
// figures fit published whole-chip read and write times of CH341A tools on
// real hardware; the CH347's follow USB 2.0 high speed and its SPI clock
// (bench/RESULTS.md, "The USB model", gives each constant's source).

#include <cstdint>

namespace emu {

// When the host starts a blocking exchange.
enum class HostProfile {
    Frame,     // at the next 1 ms full-speed frame (older host controllers)
    Modern,    // 125 us after the previous exchange ended (current controllers)
    HighSpeed, // at the next 125 us microframe (a high-speed device: the CH347)
};

namespace bus {

constexpr uint64_t kFrameNs = 1000000;
constexpr uint64_t kModernHostGapNs = 125000;

// Every 32-byte OUT packet is its own bulk OUT transaction.
constexpr uint64_t kOutTransactionNs = 30000;
// A packet that answers (SPI stream, pin read) sends its reply in a bulk IN
// transaction.
constexpr uint64_t kInTransactionNs = 29000;
// The firmware's own work on an SPI stream packet.
constexpr uint64_t kSpiFirmwareNs = 10000;
// One UIO stream command (a pin write or read); a Microwire bit costs two, a sample three.
constexpr uint64_t kUioCommandNs = 750;
// SPI clock: 8 clocks per byte at about 1.45 MHz, 160/29 us per byte.
constexpr uint64_t kSpiByteNsTimes29 = 160000;

// Nanoseconds the SPI clock needs for n bytes, rounded down.
constexpr uint64_t spiBytesNs(uint64_t bytes)
{
    return bytes * kSpiByteNsTimes29 / 29;
}

// What one SPI stream packet carrying n bytes costs from its OUT transaction
// to its reply: the bridge handles packets strictly one after the other.
constexpr uint64_t spiPacketNs(uint64_t bytes)
{
    return kOutTransactionNs + kSpiFirmwareNs + spiBytesNs(bytes) + kInTransactionNs;
}

// A whole chip read through full 31-byte SPI packets, with nothing else.
constexpr uint64_t packetBoundNs(uint64_t bytes)
{
    constexpr uint64_t kPayload = 31;
    return bytes / kPayload * spiPacketNs(kPayload) +
           (bytes % kPayload ? spiPacketNs(bytes % kPayload) : 0);
}

// I2C at the clock the stream mode's bits 1-0 choose (20, 100, 400, 750 kHz): a byte is 9
// SCL clocks (8 data bits and the acknowledge), a START or a STOP about one. The bridge runs
// the nominal clock; a bound on the nominal clock holds for a faster real one too.
constexpr uint64_t kI2cClocksPerByte = 9;
constexpr uint64_t i2cClockNs(uint8_t speedCode)
{
    constexpr uint64_t kClockNs[] = {50000, 10000, 2500, 1333};
    return kClockNs[speedCode & 0x03];
}
constexpr uint64_t i2cBytesNs(uint64_t bytes, uint8_t speedCode)
{
    return bytes * kI2cClocksPerByte * i2cClockNs(speedCode);
}

// USB 2.0 high speed: 480 Mbit/s in 125 us microframes, 512-byte bulk
// packets. Thirteen 512-byte bulk transactions fill a microframe, so each
// costs its bytes (1/60 us apiece) and about 1.08 us of token, handshake and
// gaps.
constexpr uint64_t kMicroframeNs = 125000;
constexpr uint64_t kHighSpeedTransactionNs = 1083;
constexpr uint64_t highSpeedTransactionNs(uint64_t bytes)
{
    return kHighSpeedTransactionNs + bytes * 50 / 3;
}

// The CH347's own work on each command frame it takes; fitted (RESULTS.md).
constexpr uint64_t kCh347FrameNs = 5000;
// Its SPI clock is 60 MHz / 2^divisor: a byte takes 8 clocks, 400/3 ns at 60 MHz.
constexpr uint64_t kCh347SpiByteNsTimes3 = 400;
constexpr uint64_t ch347SpiBytesNs(uint64_t bytes, unsigned divisor)
{
    return (bytes * kCh347SpiByteNsTimes3 << divisor) / 3;
}

// When the next blocking exchange of this host starts, the last one having
// ended at nowNs.
constexpr uint64_t exchangeStartNs(HostProfile profile, uint64_t nowNs)
{
    switch (profile) {
    case HostProfile::Frame:
        return (nowNs / kFrameNs + 1) * kFrameNs;
    case HostProfile::Modern:
        return nowNs + kModernHostGapNs;
    case HostProfile::HighSpeed:
        break;
    }
    return (nowNs / kMicroframeNs + 1) * kMicroframeNs;
}

} // namespace bus
} // namespace emu
