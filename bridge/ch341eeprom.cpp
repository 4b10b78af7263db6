#include "bridge/ch341eeprom.h"

#include "bridge/bridge.h"

extern "C" {

const char *CH341GetBusRefusal(uint32_t iIndex, uint32_t iBus)
{
    if (iIndex != 0 || (iBus != CH341_BUS_I2C && iBus != CH341_BUS_MICROWIRE))
        return "";
    return ch341::libraryBridge().busRefusal(ch341::EepromBus(iBus));
}

uint32_t CH341StreamI2C(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                        uint32_t iReadLength, void *oReadBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->streamI2c(static_cast<const uint8_t *>(iWriteBuffer), iWriteLength,
                                       static_cast<uint8_t *>(oReadBuffer), iReadLength, nullptr);
}

uint32_t CH341StreamI2C_RetACK(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                               uint32_t iReadLength, void *oReadBuffer, uint32_t *oAckCount)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    uint32_t acknowledged = 0;
    const bool done =
        bridge && oAckCount &&
        bridge->streamI2c(static_cast<const uint8_t *>(iWriteBuffer), iWriteLength,
                          static_cast<uint8_t *>(oReadBuffer), iReadLength, &acknowledged);
    if (oAckCount)
        *oAckCount = acknowledged;
    return done;
}

uint32_t CH341StreamI2C_Polled(uint32_t iIndex, uint32_t iWriteLength, const void *iWriteBuffer,
                               uint32_t iPolls, uint32_t *oFirstAcknowledged)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->streamI2cPolled(static_cast<const uint8_t *>(iWriteBuffer),
                                             iWriteLength, iPolls, oFirstAcknowledged);
}

uint32_t CH341StreamMicrowire(uint32_t iIndex, uint32_t iOutBits, const void *iOutBuffer,
                              uint32_t iInBits, void *oInBuffer)
{
    ch341::BridgeDriver *bridge = ch341::libraryDriver(iIndex);
    return bridge && bridge->streamMicrowire(static_cast<const uint8_t *>(iOutBuffer), iOutBits,
                                             static_cast<uint8_t *>(oInBuffer), iInBits);
}

} // extern "C"
