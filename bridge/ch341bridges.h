#pragma once

// Our own addition to the eight vendor operations: the library drives a
// CH341A or a CH347, chosen when the device is opened. These say which to
// open and how fast a CH347 clocks SPI, and what became of that clock. The
// two settings may be made from any thread while no job runs.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CH341_BRIDGE_ANY 0    // a CH341A if one is plugged in, else a CH347
#define CH341_BRIDGE_CH341A 1 // 1a86:5512
#define CH341_BRIDGE_CH347 2  // 1a86:55db (CH347T), 1a86:55de (CH347F)

// Which bridge the next CH341OpenDevice for iIndex looks for. Returns 0 for
// an unknown bridge or an index other than 0.
uint32_t CH341SelectBridge(uint32_t iIndex, uint32_t iBridge);

// The SPI clock, in kHz, that a CH347 gets at its next configuration: the
// fastest it offers (60 MHz divided by 1, 2, 4 ... 128) not above iKHz; 0 for
// its default, 15 MHz. A CH341A's clock is fixed. Returns 0 for an index
// other than 0.
uint32_t CH341SetSpiClock(uint32_t iIndex, uint32_t iKHz);

// Zero-terminated UTF-8 text for the operator on the open bridge's SPI
// clock: the CH347's ("SPI clock: 15 MHz"), or why a clock chosen with
// CH341SetSpiClock does not apply to a CH341A; empty when there is nothing
// to say or nothing is open. Valid until the next call.
const char *CH341GetSpiClockText(uint32_t iIndex);

// The SPI clock in kHz of the open bridge (or the one opened last): a CH347's
// clock after its configuration; 0 for a CH341A, whose clock is fixed, and
// when nothing was opened.
uint32_t CH341GetSpiClockKHz(uint32_t iIndex);

// How many bytes one read command of a whole-chip read should ask for on the
// open bridge (4096 on a CH341A, 65536 on a CH347); 4096 when nothing is open.
uint32_t CH341GetReadChunk(uint32_t iIndex);

// Zero-terminated: the open bridge's chip, "CH341A", "CH347T" or "CH347F"
// (the CH347's package, told by its USB product id, which its version code
// does not tell); empty when nothing is open.
const char *CH341GetBridgeModel(uint32_t iIndex);

#ifdef __cplusplus
}
#endif
