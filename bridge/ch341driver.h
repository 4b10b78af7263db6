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

    UsbResult lastOpenResult() const { return m_lastOpenResult; }
    bool isOpen() const { return m_open; }
    bool isLost() const { return m_lost; }
    bool mirrorsBits() const { return m_mirror; }

private:
    bool usable() const { return m_open && !m_lost; }
    bool queueCommand(std::initializer_list<uint8_t> bytes);
    bool flushPending();
    bool transfer(const std::vector<uint8_t> &out, const std::vector<std::size_t> &inLengths,
                  std::vector<uint8_t> &replies);
    bool succeeded(UsbResult result);

    UsbLink &m_link;
    // Commands without a reply, each padded to a whole packet, waiting to ride
    // at the front of the next OUT transfer.
    std::vector<uint8_t> m_pending;
    std::string m_deviceName;
    UsbResult m_lastOpenResult = UsbResult::Ok;
    bool m_open = false;
    bool m_lost = false;
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
