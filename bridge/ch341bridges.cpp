#include "bridge/ch341bridges.h"

#include "bridge/bridge.h"

extern "C" {

uint32_t CH341SelectBridge(uint32_t iIndex, uint32_t iBridge)
{
    if (iIndex != 0)
        return 0;
    switch (iBridge) {
    case CH341_BRIDGE_ANY:
        ch341::setBridgeChoice(ch341::BridgeChoice::Any);
        return 1;
    case CH341_BRIDGE_CH341A:
        ch341::setBridgeChoice(ch341::BridgeChoice::Ch341a);
        return 1;
    case CH341_BRIDGE_CH347:
        ch341::setBridgeChoice(ch341::BridgeChoice::Ch347);
        return 1;
    default:
        return 0;
    }
}

uint32_t CH341SetSpiClock(uint32_t iIndex, uint32_t iKHz)
{
    if (iIndex != 0)
        return 0;
    ch341::setSpiClockKHz(iKHz);
    // An open bridge takes it at its next configuration.
    if (ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex))
        bridge->chooseSpiClock(iKHz);
    return 1;
}

const char *CH341GetSpiClockText(uint32_t iIndex)
{
    return iIndex == 0 ? ch341::libraryBridge().spiClockText() : "";
}

uint32_t CH341GetSpiClockKHz(uint32_t iIndex)
{
    const ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge ? bridge->spiClockKHz() : 0;
}

uint32_t CH341GetReadChunk(uint32_t iIndex)
{
    constexpr uint32_t kWithoutBridge = 4096;
    const ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge ? bridge->readChunkBytes() : kWithoutBridge;
}

const char *CH341GetBridgeModel(uint32_t iIndex)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge ? bridge->model() : "";
}

} // extern "C"
