#pragma once

namespace emu {

// What a bridge's pins reach through a 93xx adapter: a Microwire EEPROM, seen as pin levels.
// Runs on the thread that drives the emulated programmer.
class MicrowireDevice
{
public:
    virtual ~MicrowireDevice() = default;

    // The levels of chip select (active high), the clock and the data into the part, after
    // every change of the bridge's pins.
    virtual void setPins(bool chipSelect, bool clock, bool dataIn) = 0;
    // The part's data output; high while it does not drive it (the bridge's input pulls up).
    virtual bool dataOut() const = 0;
};

} // namespace emu
