#pragma once

// The eight operations of the CH341 bridge library, with the vendor library's
// C linkage and argument types. Every call names a device index; only index 0
// exists. Failures are the vendor's return values: an invalid handle, 0 or an
// empty name. Nothing throws across this line. Behind them the library drives
// a CH341A or a CH347, whichever CH341OpenDevice finds (ch341bridges.h).

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *CH341HANDLE;

// CH341OpenDevice returns this (all bits set) when the open failed.
#define CH341_INVALID_HANDLE ((CH341HANDLE)(~(uintptr_t)0))

CH341HANDLE CH341OpenDevice(uint32_t iIndex);
void CH341CloseDevice(uint32_t iIndex);

// Chip version code from the bridge; 0 when it cannot be read.
uint32_t CH341GetVerIC(uint32_t iIndex);

// Zero-terminated UTF-8 name of the open device, valid until the device is
// closed; an empty text when nothing is open.
const char *CH341GetDeviceName(uint32_t iIndex);

// Bits 0-2 select the stream mode on the bridge; bit 7 set makes the library
// send and receive SPI bytes most significant bit first.
uint32_t CH341SetStream(uint32_t iIndex, uint32_t iMode);

uint32_t CH341SetDelaymS(uint32_t iIndex, uint32_t iDelay);

// Directions (bit set = output) and levels of pins D5-D0.
uint32_t CH341Set_D5_D0(uint32_t iIndex, uint32_t iSetDirOut, uint32_t iSetDataOut);

// Clocks iLength bytes of ioBuffer out and replaces them in place with the
// bytes clocked in. iChipSelect 0 leaves every select line alone. On a CH347 a
// run of 0xFF that ends the buffer, lies past its first 16 bytes and is longer
// than 507 bytes goes as one read request, which clocks the bridge's idle byte
// out instead: such a run is what a chip answers to, not what it listens to.
uint32_t CH341StreamSPI4(uint32_t iIndex, uint32_t iChipSelect, uint32_t iLength,
                         void *ioBuffer);

#ifdef __cplusplus
}
#endif
