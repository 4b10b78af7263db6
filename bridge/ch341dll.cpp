#include "bridge/ch341dll.h"

#include "bridge/bridge.h"

namespace {

// The bridge library serves exactly one device, index 0.
constexpr uint32_t kOnlyDevice = 0;

bool isOnlyDevice(uint32_t index)
{
    return index == kOnlyDevice;
}

} // namespace

extern "C" {

CH341HANDLE CH341OpenDevice(uint32_t iIndex)
{
    if (!isOnlyDevice(iIndex))
        return CH341_INVALID_HANDLE;
    return reinterpret_cast<CH341HANDLE>(
        ch341::libraryBridge().open(ch341::bridgeChoice(), ch341::spiClockKHz()));
}

void CH341CloseDevice(uint32_t iIndex)
{
    if (isOnlyDevice(iIndex))
        ch341::libraryBridge().close();
}

uint32_t CH341GetVerIC(uint32_t iIndex)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge ? bridge->versionCode() : 0;
}

const char *CH341GetDeviceName(uint32_t iIndex)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge ? bridge->deviceName() : "";
}

uint32_t CH341SetStream(uint32_t iIndex, uint32_t iMode)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->setStream(iMode);
}

uint32_t CH341SetDelaymS(uint32_t iIndex, uint32_t iDelay)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->setDelayMs(iDelay);
}

uint32_t CH341Set_D5_D0(uint32_t iIndex, uint32_t iSetDirOut, uint32_t iSetDataOut)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->setPins(iSetDirOut, iSetDataOut);
}

uint32_t CH341StreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength, void *ioBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->streamSpi(iChipSelect, iLength, static_cast<uint8_t *>(ioBuffer));
}

} // extern "C"
