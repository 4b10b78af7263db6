#pragma once

// RecordingLink stands in for USB in the bridge tests: it records every call
// and answers each SPI data byte inverted, unless an exchange has a scripted reply.

#include "bridge/usblink.h"

#include <QByteArray>
#include <QMap>
#include <QStringList>

class RecordingLink : public ch341::UsbLink
{
public:
    struct Exchange
    {
        QByteArray out;
        std::vector<std::size_t> inLengths;
    };
    struct Reply
    {
        ch341::UsbResult result = ch341::UsbResult::Ok;
        QByteArray bytes;
    };

    ch341::UsbResult open(std::string &deviceName) override;
    void close() override { events << "close"; }
    void drainIn() override { events << "drain"; }
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const std::vector<uint8_t> &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override
    {
        events << QString("sleep %1").arg(milliseconds);
    }

    ch341::UsbResult openResult = ch341::UsbResult::Ok;
    std::string name = "CH341A 1a86:5512 rev 3.04 at usb 1-1.3 (bus 1, addr 7)";
    Reply controlReply{ch341::UsbResult::Ok, QByteArray::fromHex("3000")};
    QMap<int, Reply> scriptedReplies; // by exchange number

    QStringList events;
    std::vector<Exchange> exchanges;
    // Exchanges whose IN transfers do not match their SPI packets one for one.
    int framingFaults = 0;
};
