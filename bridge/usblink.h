#pragma once

// The one door through which the bridge library reaches USB. The libusb link
// talks to a real CH341A; the emulated link answers with a software model.
// A process installs its link before the first CH341OpenDevice.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ch341 {

constexpr uint16_t kVendorId = 0x1A86;
constexpr uint16_t kProductId = 0x5512;
// The same chip with its mode jumper on 2-3: a USB serial port, no SPI.
constexpr uint16_t kSerialModeProductId = 0x5523;
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr uint8_t kBulkInEndpoint = 0x82;
constexpr std::size_t kPacketSize = 32;
// Largest bulk OUT transfer the bridge is given at once.
constexpr std::size_t kMaxOutTransfer = 4096;
// Most bytes of all the OUT transfers of one exchange: a whole 4 KiB SPI read
// (133 packets) with its header fits.
constexpr std::size_t kMaxExchangeOut = 8192;

// The bulk OUT transfers of one exchange.
using OutTransfers = std::vector<std::vector<uint8_t>>;

enum class UsbResult {
    Ok,
    NotFound,  // no 1a86:5512 device on the bus
    WrongMode, // no 1a86:5512, but a CH341 in serial mode (1a86:5523)
    NoDevice,  // the device went away
    Access,    // no permission to open it
    Busy,      // another driver or process holds the interface
    Timeout,
    ShortReply, // an IN transfer returned another length than expected
    Io,
};

class UsbLink
{
public:
    virtual ~UsbLink() = default;

    // Opens the first 1a86:5512 device in bus and port order and claims
    // interface 0. deviceName receives a readable name of the device.
    virtual UsbResult open(std::string &deviceName) = 0;
    virtual void close() = 0;

    // Reads and drops whatever a previous session left in the IN endpoint.
    virtual void drainIn() = 0;

    // Vendor control request, device to host.
    virtual UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                                std::size_t length, std::size_t &transferred) = 0;

    // One blocking exchange: an IN transfer for each entry of inLengths is
    // queued first, then each entry of `out` goes, in order, as one bulk OUT
    // transfer (each at most kMaxOutTransfer, together at most kMaxExchangeOut bytes), then every IN
    // transfer is reaped in order and their bytes are appended to `in`. A
    // short packet ends a bulk transfer, so only the last packet of each OUT
    // transfer may be short. An IN transfer that returns another length than
    // asked gives ShortReply.
    virtual UsbResult exchange(const OutTransfers &out, const std::vector<std::size_t> &inLengths,
                               std::vector<uint8_t> &in) = 0;

    // A host-side pause between transfers.
    virtual void sleepMs(uint32_t milliseconds) = 0;
};

// Replaces the process-wide link (and closes any device the library holds).
// Call before the first CH341OpenDevice, or between jobs.
void installUsbLink(std::unique_ptr<UsbLink> link);

// The installed link; the libusb link when none was installed.
UsbLink &usbLink();

// Takes the installed link (the libusb link when none was installed) out of the library,
// which closes what it held; install it, or a link wrapping it, before the next open.
std::unique_ptr<UsbLink> takeUsbLink();

// Why the last CH341OpenDevice failed (Ok after a successful open).
UsbResult lastOpenResult();

} // namespace ch341
