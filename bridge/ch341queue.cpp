#include "bridge/ch341queue.h"

#include "bridge/bridge.h"

extern "C" {

uint32_t CH341QueueStreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                              const void *iBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge &&
           bridge->queueSpi(iChipSelect, iLength, static_cast<const uint8_t *>(iBuffer), false);
}

uint32_t CH341QueueReadSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                            const void *iBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge &&
           bridge->queueSpi(iChipSelect, iLength, static_cast<const uint8_t *>(iBuffer), true);
}

uint32_t CH341ReadQueuedAnswers(uint32_t iIndex, uint32_t iLength, void *oBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->takeAnswers(iLength, static_cast<uint8_t *>(oBuffer));
}

uint32_t CH341QueueDelayUs(uint32_t iIndex, uint32_t iDelay)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->queueDelayUs(iDelay);
}

uint32_t CH341FlushQueue(uint32_t iIndex)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->flushQueue();
}

} // extern "C"
