#pragma once

// Ch341Driver turns the eight bridge operations into CH341A USB traffic over a
// UsbLink; it runs on the caller's thread (the job's worker thread).

#include "bridge/bridgedriver.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace ch341 {

class I2cStream;

class Ch341Driver : public BridgeDriver
{
public:
    explicit Ch341Driver(UsbLink &link);
    ~Ch341Driver() override;

    uint32_t versionCode() override;
    std::string spiClockText() const override;
    // A chunk is one exchange of 4 KiB OUT transfers; larger ones gain nothing at 240 us a
    // packet.
    uint32_t readChunkBytes() const override { return 4096; }
    uint32_t spiClockKHz() const override { return 0; }
    bool setStream(uint32_t mode) override;
    bool setPins(uint32_t directions, uint32_t levels) override;
    bool streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer) override;
    bool queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                  bool keepAnswer) override;
    bool queueDelayUs(uint32_t microseconds) override;
    std::string busRefusal(EepromBus) const override { return std::string(); }
    bool streamI2c(const uint8_t *write, uint32_t writeLength, uint8_t *read, uint32_t readLength,
                   uint32_t *ackCount) override;
    bool streamI2cPolled(const uint8_t *write, uint32_t writeLength, uint32_t polls,
                         uint32_t *firstAcknowledged) override;
    bool streamMicrowire(const uint8_t *out, uint32_t outBits, uint8_t *in,
                         uint32_t inBits) override;

    bool mirrorsBits() const { return m_mirror; }

private:
    struct PendingIn
    {
        std::size_t length;
        bool wanted; // false: the reply of a queued stream, dropped on arrival
        bool raw;    // I2C and pin answers: never mirrored
    };

    void resetSession() override;
    bool flushPending() override;
    void dropPending() override;
    bool queueCommand(std::initializer_list<uint8_t> bytes);
    bool queueUioCommand(std::initializer_list<uint8_t> bytes);
    bool queueSpiPackets(uint32_t length, const uint8_t *buffer, bool wanted);
    // Whole packets, each answered by one IN packet of its reply's length.
    bool queueAnsweredPacket(const std::vector<uint8_t> &packet, std::size_t replyLength,
                             uint64_t busNs);
    bool makeRoom(std::size_t bytes);
    void appendPacket(const uint8_t *bytes, std::size_t size);
    // The stream's packets in one exchange (or more, past a quarter second of bus time), and
    // the answer of them all.
    bool exchangeI2c(const I2cStream &stream, std::vector<uint8_t> &answer);

    // Packets waiting for the next exchange. Pin and mode commands fill whole
    // packets; an SPI packet of fewer than 31 bytes is short and ends its OUT
    // transfer, so the next packet opens another.
    OutTransfers m_pendingOut;
    std::size_t m_pendingBytes = 0;
    bool m_lastTransferEnded = true;
    std::vector<PendingIn> m_pendingIn;
    // Where the END of the last pending packet stands when that packet is a
    // UIO stream, so that the next pin command joins it; 0 when it is not.
    std::size_t m_uioEnd = 0;
    // What the pending packets keep the I2C bus busy for.
    uint64_t m_pendingBusNs = 0;
    bool m_mirror = false;
    uint8_t m_streamMode = 0;
    // Pin directions last sent to the bridge; all inputs after open.
    uint8_t m_directions = 0;
};

// Reverses the bit order of a byte (0x9F <-> 0xF9).
uint8_t mirrorByte(uint8_t value);

} // namespace ch341
