#pragma once

// Ch347Driver turns the eight bridge operations into CH347 frames over a
// UsbLink: chip select by command, SPI in frames of up to 507 bytes, most
// significant bit first. Runs on the caller's thread (the job's worker thread).

#include "bridge/bridgedriver.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ch341 {

class I2cStream;

class Ch347Driver : public BridgeDriver
{
public:
    // 60 MHz divided by 2 to the power of the divisor, 0 to 7.
    static constexpr uint32_t kBaseClockHz = 60000000;
    static constexpr unsigned kSlowestDivisor = 7;
    // Reads and programs reliably through test clips.
    static constexpr uint32_t kDefaultClockKHz = 15000;
    // A whole-chip read asks for 64 KiB per command: one exchange whose SPI clock (8.7 ms at
    // 60 MHz) dwarfs the microframe it waits for, where a 4 KiB chunk lost a tenth of its time.
    static constexpr uint32_t kReadChunkBytes = 65536;

    explicit Ch347Driver(UsbLink &link);
    ~Ch347Driver() override;

    uint32_t versionCode() override;
    std::string spiClockText() const override;
    uint32_t readChunkBytes() const override { return kReadChunkBytes; }
    uint32_t spiClockKHz() const override { return clockHz() / 1000; }
    bool setStream(uint32_t mode) override;
    bool setPins(uint32_t directions, uint32_t levels) override;
    bool streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer) override;
    bool queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                  bool keepAnswer) override;
    bool queueDelayUs(uint32_t microseconds) override;
    std::string busRefusal(EepromBus bus) const override;
    bool streamI2c(const uint8_t *write, uint32_t writeLength, uint8_t *read, uint32_t readLength,
                   uint32_t *ackCount) override;
    bool streamI2cPolled(const uint8_t *write, uint32_t writeLength, uint32_t polls,
                         uint32_t *firstAcknowledged) override;
    // No public source documents Microwire on the CH347: always refused.
    bool streamMicrowire(const uint8_t *, uint32_t, uint8_t *, uint32_t) override { return false; }

    // The divisor of the fastest clock not above kHz (0: the default clock).
    static unsigned clockDivisor(uint32_t kHz);
    uint32_t clockHz() const { return kBaseClockHz >> m_divisor; }

private:
    enum class Select { Unknown, Asserted, Deasserted };
    // The frame each IN transfer of the next exchange brings.
    struct ExpectedFrame
    {
        uint8_t command;
        std::size_t length; // of its data
        bool wanted;        // its data goes to the kept answers
        bool anyLength;     // an answer whose length nobody documents; always an exchange's last
    };

    void resetSession() override;
    bool flushPending() override;
    void dropPending() override;
    // One frame is one OUT transfer; clocked: the SPI bytes it makes the bridge clock.
    bool queueFrame(uint8_t command, const uint8_t *data, std::size_t length, std::size_t clocked);
    // Bytes whose answer is kept: out and in at once, a long 0xFF tail read in.
    bool queueWithAnswer(const uint8_t *data, std::size_t length);
    // Frames of at most 507 bytes: out and in at once (0xC2, the answer kept), or out (0xC4).
    bool queueOut(uint8_t command, const uint8_t *data, std::size_t length);
    bool queueIn(std::size_t count, bool wanted);
    bool takeFrames(const std::vector<uint8_t> &in, const std::vector<ExpectedFrame> &expected);
    // I2C stream transfers, unframed, each answered by one IN transfer of raw bytes.
    bool exchangeI2c(OutTransfers &out, std::vector<std::size_t> &inLengths,
                     std::vector<uint8_t> &answer);
    // The stream's transfers, in exchanges of at most a quarter second of bus time, and the
    // answer of them all.
    bool streamI2cSegments(const I2cStream &stream, std::vector<uint8_t> &answer);

    OutTransfers m_pendingOut;
    std::size_t m_pendingBytes = 0;
    std::size_t m_pendingClocked = 0;
    std::vector<ExpectedFrame> m_expected;
    Select m_select = Select::Unknown;
    unsigned m_divisor = 0;
    bool m_lsbFirst = false;
    // The I2C clock code of the last stream mode, and whether the bridge has it yet.
    uint32_t m_i2cSpeedCode = 0;
    bool m_i2cSpeedSent = true;
};

} // namespace ch341
