#include "bridge/ch341dll.h"

#include "bridge/ch341driver.h"

namespace {

// The bridge library serves exactly one device, index 0.
constexpr uint32_t kOnlyDevice = 0;

bool isOnlyDevice(uint32_t index)
{
    return index == kOnlyDevice;
}

ch341::Ch341Driver &driver()
{
    return ch341::libraryDriver();
}

} // namespace

extern "C" {

CH341HANDLE CH341OpenDevice(uint32_t iIndex)
{
    if (!isOnlyDevice(iIndex))
        return CH341_INVALID_HANDLE;
    return reinterpret_cast<CH341HANDLE>(driver().open());
}

void CH341CloseDevice(uint32_t iIndex)
{
    if (isOnlyDevice(iIndex))
        driver().close();
}

uint32_t CH341GetVerIC(uint32_t iIndex)
{
    return isOnlyDevice(iIndex) ? driver().versionCode() : 0;
}

const char *CH341GetDeviceName(uint32_t iIndex)
{
    return isOnlyDevice(iIndex) ? driver().deviceName() : "";
}

uint32_t CH341SetStream(uint32_t iIndex, uint32_t iMode)
{
    return isOnlyDevice(iIndex) && driver().setStream(iMode);
}

uint32_t CH341SetDelaymS(uint32_t iIndex, uint32_t iDelay)
{
    return isOnlyDevice(iIndex) && driver().setDelayMs(iDelay);
}

uint32_t CH341Set_D5_D0(uint32_t iIndex, uint32_t iSetDirOut, uint32_t iSetDataOut)
{
    return isOnlyDevice(iIndex) && driver().setPins(iSetDirOut, iSetDataOut);
}

uint32_t CH341StreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength, void *ioBuffer)
{
    return isOnlyDevice(iIndex) &&
           driver().streamSpi(iChipSelect, iLength, static_cast<uint8_t *>(ioBuffer));
}

} // extern "C"
