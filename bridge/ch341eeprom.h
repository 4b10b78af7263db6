#pragma once

// The serial EEPROM buses beside the SPI stream: I2C (24xx) on the CH341A and the CH347T,
// Microwire (93xx) on the CH341A. CH341StreamI2C keeps the vendor library's name and
// arguments; the others are our own. Like the SPI stream they share the session: a failed
// transfer fails every later call until the device is closed, and a call on a bus the open
// bridge cannot reach fails without any traffic (CH341GetBusRefusal says why).
// The I2C clock is the stream mode's bits 1-0 (CH341SetStream): 0 = 20 kHz, 1 = 100 kHz,
// 2 = 400 kHz, 3 = 750 kHz.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CH341_BUS_I2C 1
#define CH341_BUS_MICROWIRE 2

// Zero-terminated UTF-8: empty when the open bridge reaches parts on iBus by its documented
// commands; otherwise one sentence naming the bridge and the bus ("The CH347T has no
// documented Microwire interface: ..."). Empty when nothing is open. Valid until the
// next call.
const char *CH341GetBusRefusal(uint32_t iIndex, uint32_t iBus);

// One I2C transaction: START, the iWriteLength bytes of iWriteBuffer (the first is the device
// address byte, R/W bit 0), then, when iReadLength is not 0, a repeated START, that address
// byte with R/W set, and iReadLength bytes read into oReadBuffer (the last not acknowledged
// by the bridge), then STOP. iWriteLength must be at least 1. The device's acknowledges are
// not looked at: a device that does not answer reads as FFh bytes. Returns 0 on failure.
uint32_t CH341StreamI2C(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                        uint32_t iReadLength, void *oReadBuffer);

// CH341StreamI2C that also tells how far the device acknowledged: *oAckCount is how many of
// the bytes the bridge sent (the written bytes, then the read address byte when a read is
// asked), from the first, were acknowledged before the first that was not. All of them is
// iWriteLength, plus 1 with a read. Every sent byte still goes out after a refused one (the
// bridge does not stop), but a read after a refused address reads FFh. Slower on the
// CH341A, which reports the acknowledge of a byte only when asked for that one byte.
// Returns 0 on a failed transfer; a refused byte is no failure.
uint32_t CH341StreamI2C_RetACK(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                               uint32_t iReadLength, void *oReadBuffer, uint32_t *oAckCount);

// A write cycle waited for in the exchange that starts it: the write transaction of
// CH341StreamI2C (no read), then iPolls ACK polls, each START, the first byte of iWriteBuffer
// (the device address), STOP, sent at once. *oFirstAcknowledged is the number of the first
// poll whose address was acknowledged, counted from 0; iPolls when none was. A poll starts no
// write, so the polls after the first acknowledged one change nothing. Returns 0 on a failed
// transfer.
uint32_t CH341StreamI2C_Polled(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                               uint32_t iPolls, uint32_t *oFirstAcknowledged);

// One Microwire instruction on the CH341A's pins (chip select D0, active high; clock D3; data
// to the part D5; data from the part D7): chip select low, then high; iOutBits bits of
// iOutBuffer, most significant bit of each byte first, each set while the clock is low and
// taken by the part at its rising edge (start bit, opcode, address, data, packed by the
// caller); then iInBits samples of the part's output into oInBuffer, most significant bit
// first (bits past the last sample 0): the first is taken where the out bits left off
// without a further clock, each next one after one more clock. Chip select then falls,
// which starts a write cycle. So a READ's samples are its dummy 0 and then the words, on
// and on while they are asked for; with no out bits and one sample, the sample is the
// part's ready state after a write (0 = busy, 1 = ready). Returns 0 on failure.
uint32_t CH341StreamMicrowire(uint32_t iIndex, uint32_t iOutBits, const void *iOutBuffer,
                              uint32_t iInBits, void *oInBuffer);

#ifdef __cplusplus
}
#endif
