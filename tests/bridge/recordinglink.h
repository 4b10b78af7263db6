#pragma once

// RecordingLink stands in for USB in the bridge tests: it records every call,
// answers SPI packets from the wire (each data byte inverted) or from a script,
// and notes every framing fault it sees.

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
    void close() override;
    void drainIn() override;
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const std::vector<uint8_t> &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

    ch341::UsbResult openResult = ch341::UsbResult::Ok;
    std::string name = "CH341A 1a86:5512 rev 3.04 at usb 1-1.3 (bus 1, addr 7)";
    Reply controlReply{ch341::UsbResult::Ok, QByteArray::fromHex("3000")};
    QMap<int, Reply> scriptedReplies; // by exchange number; others answer from the wire

    QStringList events;
    QStringList *journal = nullptr; // also receives the events; may outlive the link
    std::vector<Exchange> exchanges;
    QStringList faults;

private:
    void record(const QString &event);
    QByteArray answerFromWire(const QByteArray &out, const std::vector<std::size_t> &inLengths);
};

// Both buffers in hex with the first differing offset; empty when equal.
QString wireMismatch(const QByteArray &actual, const QByteArray &expected);
