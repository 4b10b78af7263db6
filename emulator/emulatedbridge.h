#pragma once

#include "bridge/usblink.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace emu {

class SpiDevice;
class VirtualClock;

// The firmware of an emulated bridge chip as seen from USB: it interprets
// bulk OUT transfers, drives chip select and clocks SPI bytes through the
// attached chip, moving the virtual clock by what the traffic costs on the
// bus (buscost.h). Runs on the thread that drives the emulated link.
class EmulatedBridge
{
public:
    virtual ~EmulatedBridge() = default;

    // nullptr: nothing in the socket.
    virtual void attachChip(SpiDevice *chip) = 0;
    // Power-up state.
    virtual void reset() = 0;
    // One bulk OUT transfer; returns the IN packets it produces, in order.
    virtual std::vector<std::vector<uint8_t>> processOut(const std::vector<uint8_t> &out) = 0;
    virtual bool chipSelected() const = 0;
    // The programmer lets go of the chip: every pin an input (CH341A), or
    // chip select high (the CH347, whose SPI lines stay driven).
    virtual bool released() const = 0;
    // Bytes clocked through the chip while it was selected, since construction.
    virtual uint64_t spiBytesClocked() const = 0;
};

// Reverses the bit order of a byte: what a chip sees of a byte shifted out
// least significant bit first.
uint8_t mirrorBits(uint8_t value);

std::unique_ptr<EmulatedBridge> makeEmulatedBridge(ch341::BridgeKind kind, VirtualClock &clock);

} // namespace emu
