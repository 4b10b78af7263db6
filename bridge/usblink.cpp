#include "bridge/usblink.h"

#include "bridge/ch341driver.h"
#include "bridge/libusblink.h"

namespace ch341 {

namespace {

// The one process-wide link and the driver over it. The driver is declared
// last so that it is destroyed, and closes the device, before its link.
struct Library
{
    std::unique_ptr<UsbLink> link;
    std::unique_ptr<Ch341Driver> driver;
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
    lib.driver.reset();
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
    lib.driver.reset();
    return std::move(lib.link);
}

UsbResult lastOpenResult()
{
    const Library &lib = library();
    return lib.driver ? lib.driver->lastOpenResult() : UsbResult::Ok;
}

Ch341Driver &libraryDriver()
{
    Library &lib = library();
    if (!lib.driver)
        lib.driver = std::make_unique<Ch341Driver>(usbLink());
    return *lib.driver;
}

} // namespace ch341
