#pragma once

// BridgeDriver: one bridge chip's side of the library's operations once its
// device is open, and the session state every chip's driver keeps alike.
// Runs on the caller's thread (the job's worker thread).

#include "bridge/usblink.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ch341 {

// The serial EEPROM buses beside SPI (ch341eeprom.h).
enum class EepromBus : uint32_t { I2c = 1, Microwire = 2 };

class BridgeDriver
{
public:
    explicit BridgeDriver(UsbLink &link);
    // The owner closes the device first: close() needs the chip's own driver.
    virtual ~BridgeDriver() = default;
    BridgeDriver(const BridgeDriver &) = delete;
    BridgeDriver &operator=(const BridgeDriver &) = delete;

    // Takes over the device the link has just opened. spiClockKHz: the clock
    // the operator chose, 0 for none.
    void start(const OpenedBridge &opened, uint32_t spiClockKHz);
    // Sends what is queued, unless the session has failed, and closes the device.
    void close();
    // The clock the operator chose, for the next configuration (setStream) of this session.
    void chooseSpiClock(uint32_t kHz) { m_spiClockKHz = kHz; }

    virtual uint32_t versionCode() = 0;
    const char *deviceName() const;
    // The bridge chip the link named ("CH347T"), empty when it named none.
    const char *model() const;
    // For the operator: the SPI clock the bridge runs at, or why a chosen one
    // does not apply; empty when there is nothing to say.
    virtual std::string spiClockText() const = 0;
    // How many bytes one read command of a whole-chip read should ask for: as many as the
    // bridge moves without its USB scheduling showing.
    virtual uint32_t readChunkBytes() const = 0;
    // The SPI clock in kHz the bridge was configured with; 0 where it is fixed (the CH341A).
    virtual uint32_t spiClockKHz() const = 0;
    virtual bool setStream(uint32_t mode) = 0;
    bool setDelayMs(uint32_t milliseconds);
    virtual bool setPins(uint32_t directions, uint32_t levels) = 0;
    virtual bool streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer) = 0;
    // An SPI stream whose answer is not wanted, and a pause made by the bridge
    // itself: both wait for the next blocking exchange and ride in front of
    // it. False when the device is unusable or a full queue could not be sent.
    // keepAnswer: the answer is kept for takeAnswers.
    virtual bool queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                          bool keepAnswer) = 0;
    virtual bool queueDelayUs(uint32_t microseconds) = 0;
    // Sends the queue and hands over the answers kept since the last blocking
    // call; false unless they are exactly length bytes.
    bool takeAnswers(uint32_t length, uint8_t *buffer);
    // Sends the queue now; false when that fails or the device is unusable.
    bool flushQueue() { return usable() && flushPending(); }

    // Empty when the bridge reaches parts on the bus by its documented commands; else why not.
    virtual std::string busRefusal(EepromBus bus) const = 0;
    // One I2C transaction (CH341StreamI2C); ackCount: where to put how many sent bytes were
    // acknowledged, null when nobody asks.
    virtual bool streamI2c(const uint8_t *write, uint32_t writeLength, uint8_t *read,
                           uint32_t readLength, uint32_t *ackCount) = 0;
    // A write transaction, then polls ACK polls on its first byte, in one exchange
    // (CH341StreamI2C_Polled): firstAcknowledged is the first poll answered, polls for none.
    virtual bool streamI2cPolled(const uint8_t *write, uint32_t writeLength, uint32_t polls,
                                 uint32_t *firstAcknowledged) = 0;
    // One Microwire instruction (CH341StreamMicrowire).
    virtual bool streamMicrowire(const uint8_t *out, uint32_t outBits, uint8_t *in,
                                 uint32_t inBits) = 0;

    bool isOpen() const { return m_open; }
    bool isLost() const { return m_lost; }
    // A transfer of this session failed; nothing more is sent until close.
    bool hasFailed() const { return m_failed; }

protected:
    // After any failed transfer the session only takes the closing release:
    // the chip may have missed part of what was queued, so no later command
    // (a write enable, an erase, a program) may reach it.
    bool usable() const { return m_open && !m_lost && !m_failed; }
    // Letting every pin go is all a failed session may still do.
    bool releasesAfterFailure(uint32_t directions) const;
    // False, the session failed, when the result is no success.
    bool succeeded(UsbResult result);
    void fail() { m_failed = true; }
    uint32_t chosenSpiClockKHz() const { return m_spiClockKHz; }
    // The arguments of an I2C transaction or a Microwire instruction hold together, the
    // session is usable and the bridge reaches the bus.
    bool acceptsI2c(const uint8_t *write, uint32_t writeLength, const uint8_t *read,
                    uint32_t readLength) const;
    bool acceptsMicrowire(const uint8_t *out, uint32_t outBits, const uint8_t *in,
                          uint32_t inBits) const;
    // Answers of the wanted transfers of the exchanges made so far, in the
    // bit order the caller asked for.
    std::vector<uint8_t> &replies() { return m_replies; }

    virtual void resetSession() = 0;
    virtual bool flushPending() = 0;
    virtual void dropPending() = 0;

    UsbLink &m_link;

private:
    std::vector<uint8_t> m_replies;
    std::string m_deviceName;
    std::string m_model;
    uint32_t m_spiClockKHz = 0;
    bool m_open = false;
    bool m_lost = false;
    bool m_failed = false;
};

} // namespace ch341
