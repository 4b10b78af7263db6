#include "bridge/ch341diag.h"

#include "bridge/bridge.h"

namespace {

using ch341::BridgeChoice;
using ch341::UsbResult;

const char *notFoundText(BridgeChoice choice)
{
    switch (choice) {
    case BridgeChoice::Ch341a:
        break;
    case BridgeChoice::Ch347:
        return "No CH347 programmer found (USB 1a86:55db or 1a86:55de): check the cable; a "
               "CH347T must be in mode 1 (UART, SPI and I2C).";
    case BridgeChoice::Any:
        return "No CH341A or CH347 programmer found (USB 1a86:5512, 1a86:55db or 1a86:55de): "
               "check the cable and, on a CH341A, the mode jumper (1-2 for SPI).";
    }
    return "No CH341A programmer found (USB 1a86:5512): check the cable and the mode "
           "jumper (1-2 for SPI).";
}

const char *openFailureText(UsbResult result, BridgeChoice choice)
{
    switch (result) {
    case UsbResult::Ok:
        return "";
    case UsbResult::NotFound:
        return notFoundText(choice);
    case UsbResult::WrongMode:
        return "The CH341A programmer is in serial mode (USB 1a86:5523): move the mode jumper "
               "to 1-2 for SPI and plug it in again.";
    case UsbResult::Access:
        return "No permission to open the USB device: install the udev rule (see README).";
    case UsbResult::Busy:
        return "The programmer is in use by another program (or a driver holds it): let that job "
               "end, then try again.";
    case UsbResult::NoDevice:
        return "The USB device was unplugged while it was being opened.";
    case UsbResult::Timeout:
    case UsbResult::ShortReply:
    case UsbResult::Io:
        break;
    }
    return "The USB device could not be opened: USB input/output error.";
}

} // namespace

extern "C" const char *CH341GetLastErrorText(uint32_t iIndex)
{
    return iIndex == 0
               ? openFailureText(ch341::lastOpenResult(), ch341::libraryBridge().lastChoice())
               : "";
}
