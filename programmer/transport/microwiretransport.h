#pragma once

// MicrowireTransport: the 93xx bus as the chip sees it, over CH341StreamMicrowire for device 0
// (chip select active high, by the CH341A's UIO stream). One call is one instruction: chip
// select raised, the bits out, the part's output sampled, chip select dropped. It shares the
// SpiTransport's sticky failure: once any transfer on either bus failed, every later call
// refuses and sends nothing. Worker thread.

#include <QByteArray>

#include <cstdint>

class SpiTransport;

class MicrowireTransport
{
public:
    explicit MicrowireTransport(SpiTransport &failure);

    // outBits bits of out (most significant bit of each byte first), then inBits samples of
    // the part's output into in (packed the same way).
    bool instruction(const QByteArray &out, uint32_t outBits, uint32_t inBits, QByteArray &in);
    // The part's ready state after a programming instruction: chip select raised, DO read.
    bool ready(bool &isReady);

    bool failed() const;

private:
    SpiTransport &m_spi;
};
