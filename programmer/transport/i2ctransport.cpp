#include "programmer/transport/i2ctransport.h"

#include "programmer/transport/bridgepins.h"
#include "programmer/transport/spitransport.h"
#include "programmer/transport/tracecategory.h"
#include "bridge/ch341eeprom.h"

bool I2cTransport::isSpeed(uint32_t kHz)
{
    for (const uint32_t speed : kSpeedsKHz) {
        if (speed == kHz)
            return true;
    }
    return false;
}

uint32_t I2cTransport::speedCode(uint32_t kHz)
{
    for (uint32_t code = 0; code < 4; ++code) {
        if (kSpeedsKHz[code] == kHz)
            return code;
    }
    return speedCode(kDefaultSpeedKHz);
}

I2cTransport::I2cTransport(SpiTransport &bus)
    : m_bus(bus)
{
}

const bool &I2cTransport::failed() const
{
    return m_bus.failed();
}

bool I2cTransport::transfer(const QByteArray &write, int readCount, QByteArray &read)
{
    if (failed())
        return false;
    QByteArray incoming(qMax(readCount, 0), char(0xFF));
    if (!m_bus.recordTransfer(CH341StreamI2C(BridgePins::DEVICE, uint32_t(write.size()),
                                             write.constData(), uint32_t(incoming.size()),
                                             incoming.data()) != 0))
        return false;
    read = incoming;
    return true;
}

int I2cTransport::acknowledged(const QByteArray &write, int readCount, QByteArray &read)
{
    if (failed())
        return -1;
    QByteArray incoming(qMax(readCount, 0), char(0xFF));
    uint32_t acks = 0;
    if (!m_bus.recordTransfer(CH341StreamI2C_RetACK(BridgePins::DEVICE, uint32_t(write.size()),
                                                    write.constData(), uint32_t(incoming.size()),
                                                    incoming.data(), &acks) != 0))
        return -1;
    read = incoming;
    // A refused byte is no failure, but it is what a developer asks about first.
    if (int(acks) < write.size() + (readCount > 0 ? 1 : 0))
        qCDebug(varnockTrace) << "i2c.nack" << write.left(1).toHex() << acks;
    return int(acks);
}

int I2cTransport::writeThenPoll(const QByteArray &write, int polls)
{
    if (failed())
        return -1;
    uint32_t first = 0;
    if (!m_bus.recordTransfer(CH341StreamI2C_Polled(BridgePins::DEVICE, uint32_t(write.size()),
                                                    write.constData(), uint32_t(qMax(polls, 0)),
                                                    &first) != 0))
        return -1;
    return int(first);
}
