#include "bridge/ch341diag.h"

#include "bridge/usblink.h"

namespace {

using ch341::UsbResult;

const char *openFailureText(UsbResult result)
{
    switch (result) {
    case UsbResult::Ok:
        return "";
    case UsbResult::NotFound:
        return "No CH341A programmer found (USB 1a86:5512): check the cable and the mode "
               "jumper (1-2 for SPI).";
    case UsbResult::WrongMode:
        return "The CH341A programmer is in serial mode (USB 1a86:5523): move the mode jumper "
               "to 1-2 for SPI and plug it in again.";
    case UsbResult::Access:
        return "No permission to open the USB device: install the udev rule (see README).";
    case UsbResult::Busy:
        return "The USB device is busy: another program or driver is using it.";
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
    return iIndex == 0 ? openFailureText(ch341::lastOpenResult()) : "";
}
