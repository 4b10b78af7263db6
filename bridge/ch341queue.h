#pragma once

// Our own additions to the eight vendor operations, for speed: commands whose
// answer nobody reads wait in the library and ride in front of the next
// blocking exchange, as pin settings do. A queued command cannot fail on its
// own; when the programmer is gone, the next blocking call fails.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Queues iLength bytes of iBuffer to be clocked out as CH341StreamSPI4 would;
// what the chip answers is dropped. Returns 0 when the device is not open or
// lost, or when a full queue could not be sent.
uint32_t CH341QueueStreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                              const void *iBuffer);

// Queues iLength bytes as CH341QueueStreamSPI4 does, but keeps what the chip
// answers for CH341ReadQueuedAnswers. Returns 0 as above.
uint32_t CH341QueueReadSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                            const void *iBuffer);

// Sends whatever is queued and hands over the answers kept since the last
// blocking call, in order: exactly iLength bytes into oBuffer. Returns 0 when
// that fails, the device is not usable or the answers are not iLength bytes.
uint32_t CH341ReadQueuedAnswers(uint32_t iIndex, uint32_t iLength, void *oBuffer);

// Queues a pause of iDelay microseconds made by the bridge itself between
// the queued commands around it; the host does not wait. Returns 0 as above.
uint32_t CH341QueueDelayUs(uint32_t iIndex, uint32_t iDelay);

// Sends whatever is queued now, in one blocking exchange (none when the queue
// is empty). Returns 0 when that fails or the device is not usable.
uint32_t CH341FlushQueue(uint32_t iIndex);

#ifdef __cplusplus
}
#endif
