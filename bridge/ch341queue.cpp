#include "bridge/ch341queue.h"

#include "bridge/ch341driver.h"

extern "C" {

uint32_t CH341QueueStreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                              const void *iBuffer)
{
    return iIndex == 0 && ch341::libraryDriver().queueSpi(iChipSelect, iLength,
                                                          static_cast<const uint8_t *>(iBuffer));
}

uint32_t CH341QueueReadSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                            const void *iBuffer)
{
    return iIndex == 0 && ch341::libraryDriver().queueSpi(
                              iChipSelect, iLength, static_cast<const uint8_t *>(iBuffer), true);
}

uint32_t CH341ReadQueuedAnswers(uint32_t iIndex, uint32_t iLength, void *oBuffer)
{
    return iIndex == 0 &&
           ch341::libraryDriver().takeAnswers(iLength, static_cast<uint8_t *>(oBuffer));
}

uint32_t CH341QueueDelayUs(uint32_t iIndex, uint32_t iDelay)
{
    return iIndex == 0 && ch341::libraryDriver().queueDelayUs(iDelay);
}

uint32_t CH341FlushQueue(uint32_t iIndex)
{
    return iIndex == 0 && ch341::libraryDriver().flushQueue();
}

} // extern "C"
