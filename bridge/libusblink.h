#pragma once

// LibusbLink reaches a real CH341A (1a86:5512) or CH347 (1a86:55db, 1a86:55de)
// through libusb; it is used on the thread that calls the bridge library.

#include "bridge/usblink.h"

#include <functional>
#include <memory>

struct libusb_context;
struct libusb_device_handle;

namespace ch341 {

class LibusbLink : public UsbLink
{
public:
    // How sleepMs() waits; the default sleeps the calling thread.
    using Pause = std::function<void(uint32_t milliseconds)>;

    explicit LibusbLink(Pause pause = {});
    ~LibusbLink() override;
    LibusbLink(const LibusbLink &) = delete;
    LibusbLink &operator=(const LibusbLink &) = delete;

    UsbResult open(BridgeChoice choice, OpenedBridge &opened) override;
    void close() override;
    void drainIn() override;
    UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                        std::size_t length, std::size_t &transferred) override;
    UsbResult exchange(const OutTransfers &out, const std::vector<std::size_t> &inLengths,
                       std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

private:
    struct ContextDeleter
    {
        void operator()(libusb_context *context) const;
    };
    // Releases the claimed interface (libusb re-attaches a detached kernel
    // driver) and closes.
    struct HandleDeleter
    {
        int interfaceNumber; // value-initialized to 0 by an empty handle
        void operator()(libusb_device_handle *handle) const;
    };
    using Handle = std::unique_ptr<libusb_device_handle, HandleDeleter>;

    UsbResult ensureContext();

    // The context outlives every handle opened in it.
    std::unique_ptr<libusb_context, ContextDeleter> m_context;
    Handle m_handle;
    BridgeKind m_kind = BridgeKind::Ch341a;
    Pause m_pause;
};

} // namespace ch341
