#include "bridge/usblink.h"

#include "bridge/bridge.h"
#include "bridge/libusblink.h"

#include <atomic>

namespace ch341 {

namespace {

// The one process-wide link and the bridge over it. The bridge is declared
// last so that it is destroyed, and closes the device, before its link.
// The front end makes the two settings before a job; the job's thread reads
// them when it opens the device.
struct Library
{
    std::atomic<BridgeChoice> choice{BridgeChoice::Any};
    std::atomic<uint32_t> spiClockKHz{0};
    std::unique_ptr<UsbLink> link;
    std::unique_ptr<Bridge> bridge;
};

Library &library()
{
    static Library instance;
    return instance;
}

} // namespace

void installUsbLink(std::unique_ptr<UsbLink> link)
{
    Library &lib = library();
    lib.bridge.reset();
    lib.link = std::move(link);
}

UsbLink &usbLink()
{
    Library &lib = library();
    if (!lib.link)
        lib.link = std::make_unique<LibusbLink>();
    return *lib.link;
}

std::unique_ptr<UsbLink> takeUsbLink()
{
    usbLink();
    Library &lib = library();
    lib.bridge.reset();
    return std::move(lib.link);
}

UsbResult lastOpenResult()
{
    const Library &lib = library();
    return lib.bridge ? lib.bridge->lastOpenResult() : UsbResult::Ok;
}

Bridge &libraryBridge()
{
    Library &lib = library();
    if (!lib.bridge)
        lib.bridge = std::make_unique<Bridge>(usbLink());
    return *lib.bridge;
}

BridgeDriver *libraryDriver(uint32_t index)
{
    return index == 0 ? libraryBridge().driver() : nullptr;
}

void setBridgeChoice(BridgeChoice choice)
{
    library().choice = choice;
}

BridgeChoice bridgeChoice()
{
    return library().choice;
}

void setSpiClockKHz(uint32_t kHz)
{
    library().spiClockKHz = kHz;
}

uint32_t spiClockKHz()
{
    return library().spiClockKHz;
}

} // namespace ch341
