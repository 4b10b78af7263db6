#pragma once

// I2cTransport: the I2C bus as a 24xx EEPROM sees it, over the bridge library's I2C stream for
// device 0: one transaction from START to STOP, with or without the device's acknowledges.
// It shares the SPI transport's failure: the programmer is one device, so once a transfer on
// either bus fails, both refuse and send nothing more. Worker thread.

#include <QByteArray>

#include <cstdint>

class SpiTransport;

class I2cTransport
{
public:
    // The I2C clocks of the bridge's stream mode bits 1-0, in kHz, by code.
    static constexpr uint32_t kSpeedsKHz[] = {20, 100, 400, 750};
    static constexpr uint32_t kDefaultSpeedKHz = 100;
    static bool isSpeed(uint32_t kHz);
    // The stream mode bits of a clock of kSpeedsKHz; those of the default for any other.
    static uint32_t speedCode(uint32_t kHz);

    explicit I2cTransport(SpiTransport &bus);

    // START, write (its first byte the device address with R/W 0), then, for readCount > 0, a
    // repeated START, the address with R/W 1 and readCount bytes into read, then STOP. The
    // acknowledges are not looked at. False when the transfer failed; read stays as it was.
    bool transfer(const QByteArray &write, int readCount, QByteArray &read);
    // The same transaction, counting how many of the bytes sent (the written ones, then the
    // read address) the device acknowledged before the first it refused; -1 when the transfer
    // failed.
    int acknowledged(const QByteArray &write, int readCount, QByteArray &read);

    // A write transaction (the first byte the device address, R/W 0), then polls ACK polls
    // on that address behind it in the same exchange: which poll was acknowledged first,
    // polls when none was, -1 when the transfer failed.
    int writeThenPoll(const QByteArray &write, int polls);

    const bool &failed() const;

private:
    SpiTransport &m_bus;
};
