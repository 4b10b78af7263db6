#pragma once

// The one door through which the bridge library reaches USB. The libusb link
// talks to a real bridge (a CH341A or a CH347); the emulated link answers with
// a software model. A process installs its link before the first CH341OpenDevice.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ch341 {

constexpr uint16_t kVendorId = 0x1A86;

// CH341A (USB full speed): one interface, 32-byte bulk packets.
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

// CH347 (USB high speed): SPI on interface 2 of a CH347T in mode 1, on
// interface 4 of a CH347F; 512-byte bulk packets.
constexpr uint16_t kCh347tProductId = 0x55DB;
constexpr uint16_t kCh347fProductId = 0x55DE;
constexpr int kCh347tSpiInterface = 2;
constexpr int kCh347fSpiInterface = 4;
constexpr uint8_t kCh347BulkOutEndpoint = 0x06;
constexpr uint8_t kCh347BulkInEndpoint = 0x86;
constexpr std::size_t kHighSpeedPacketSize = 512;
// The vendor's library never puts more than 510 bytes in one bulk transfer:
// one frame of a 3-byte header and at most 507 bytes.
constexpr std::size_t kCh347MaxFrame = 510;
// Most bytes of all the OUT transfers (one frame each) of one exchange.
constexpr std::size_t kCh347MaxExchangeOut = 65536;

// The bulk OUT transfers of one exchange.
using OutTransfers = std::vector<std::vector<uint8_t>>;

enum class BridgeKind { Ch341a, Ch347 };

// Which bridge an open looks for: Any takes a CH341A when one is plugged in.
enum class BridgeChoice { Any, Ch341a, Ch347 };

// What the link may carry for a bridge: OUT transfer and exchange sizes, and
// the packet size of its bulk endpoints (a reply never spans more than one).
struct LinkLimits
{
    std::size_t maxOutTransfer;
    std::size_t maxExchangeOut;
    std::size_t packetSize;
};

constexpr LinkLimits limitsOf(BridgeKind kind)
{
    return kind == BridgeKind::Ch347
               ? LinkLimits{kCh347MaxFrame, kCh347MaxExchangeOut, kHighSpeedPacketSize}
               : LinkLimits{kMaxOutTransfer, kMaxExchangeOut, kPacketSize};
}

// The device an open found.
struct OpenedBridge
{
    BridgeKind kind = BridgeKind::Ch341a;
    std::string name;  // readable, for the operator
    std::string model; // the bridge chip: "CH341A", "CH347T" or "CH347F"; empty if unknown
};

enum class UsbResult {
    Ok,
    NotFound,  // no bridge of the choice on the bus
    WrongMode, // no bridge of the choice, but a CH341 in serial mode (1a86:5523)
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

    // Opens the first bridge of the choice in bus and port order (CH341A
    // before CH347 for Any) and claims its SPI interface.
    virtual UsbResult open(BridgeChoice choice, OpenedBridge &opened) = 0;
    virtual void close() = 0;

    // Reads and drops whatever a previous session left in the IN endpoint.
    virtual void drainIn() = 0;

    // Vendor control request, device to host.
    virtual UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                                std::size_t length, std::size_t &transferred) = 0;

    // One blocking exchange: an IN transfer for each entry of inLengths is
    // queued first, then each entry of `out` goes, in order, as one bulk OUT
    // transfer (within the open bridge's limitsOf()), then every IN transfer
    // is reaped in order and their bytes are appended to `in`. A short packet
    // ends a bulk transfer, so only the last packet of each OUT transfer may
    // be short. An IN transfer that returns another length than asked gives
    // ShortReply; only the exchange's last may return fewer bytes (an answer
    // whose length the caller cannot know), and the caller checks them.
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
