#pragma once

// Ch341Driver turns the eight bridge operations into CH341A USB traffic over a
// UsbLink; it runs on the caller's thread (the job's worker thread).

#include "bridge/usblink.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace ch341 {

class Ch341Driver
{
public:
    // Open token handed out for device 0; never 0 and never all bits set.
    static constexpr uintptr_t kOpenToken = 0x5512;
    static constexpr uintptr_t kInvalidToken = ~uintptr_t(0);

    explicit Ch341Driver(UsbLink &link);
    ~Ch341Driver();
    Ch341Driver(const Ch341Driver &) = delete;
    Ch341Driver &operator=(const Ch341Driver &) = delete;

    uintptr_t open();
    void close();
    uint32_t versionCode();
    const char *deviceName() const;
    bool setStream(uint32_t mode);
    bool setDelayMs(uint32_t milliseconds);
    bool setPins(uint32_t directions, uint32_t levels);
    bool streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer);
    // An SPI stream whose answer is not wanted, and a pause made by the bridge
    // itself: both wait for the next blocking exchange and ride in front of
    // it. False when the device is unusable or a full queue could not be sent.
    // keepAnswer: the answer is kept for takeAnswers.
    bool queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                  bool keepAnswer = false);
    bool queueDelayUs(uint32_t microseconds);
    // Sends the queue and hands over the answers kept since the last blocking
    // call; false unless they are exactly length bytes.
    bool takeAnswers(uint32_t length, uint8_t *buffer);
    // Sends the queue now; false when that fails or the device is unusable.
    bool flushQueue() { return usable() && flushPending(); }

    UsbResult lastOpenResult() const { return m_lastOpenResult; }
    bool isOpen() const { return m_open; }
    bool isLost() const { return m_lost; }
    // A transfer of this session failed; nothing more is sent until close.
    bool hasFailed() const { return m_failed; }
    bool mirrorsBits() const { return m_mirror; }

private:
    struct PendingIn
    {
        std::size_t length;
        bool wanted; // false: the reply of a queued stream, dropped on arrival
    };

    // After any failed transfer the session only takes the closing release:
    // the chip may have missed part of what was queued, so no later command
    // (a write enable, an erase, a program) may reach it.
    bool usable() const { return m_open && !m_lost && !m_failed; }
    bool releasesAfterFailure(uint32_t directions) const;
    bool queueCommand(std::initializer_list<uint8_t> bytes);
    bool queueUioCommand(std::initializer_list<uint8_t> bytes);
    bool queueSpiPackets(uint32_t length, const uint8_t *buffer, bool wanted);
    bool makeRoom(std::size_t bytes);
    void appendPacket(const uint8_t *bytes, std::size_t size);
    bool flushPending();
    void dropPending();
    bool succeeded(UsbResult result);

    UsbLink &m_link;
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
    // Answers of the wanted IN transfers of the exchanges made so far.
    std::vector<uint8_t> m_replies;
    std::string m_deviceName;
    UsbResult m_lastOpenResult = UsbResult::Ok;
    bool m_open = false;
    bool m_lost = false;
    bool m_failed = false;
    bool m_mirror = false;
    // Pin directions last sent to the bridge; all inputs after open.
    uint8_t m_directions = 0;
};

// Reverses the bit order of a byte (0x9F <-> 0xF9).
uint8_t mirrorByte(uint8_t value);

// The driver behind the C functions, working over usbLink(); created on first
// use and replaced by installUsbLink().
Ch341Driver &libraryDriver();

} // namespace ch341
