#include "recordinglink.h"

#include <algorithm>

namespace {

constexpr char kSpiStream = char(0xA8);
constexpr char kUioStream = char(0xAB);
constexpr char kI2cStream = char(0xAA);

} // namespace

ch341::UsbResult RecordingLink::open(std::string &deviceName)
{
    record("open");
    if (openResult == ch341::UsbResult::Ok)
        deviceName = name;
    return openResult;
}

void RecordingLink::close()
{
    record("close");
}

void RecordingLink::drainIn()
{
    record("drain");
}

ch341::UsbResult RecordingLink::controlIn(uint8_t request, uint16_t value, uint16_t index,
                                          uint8_t *data, std::size_t length,
                                          std::size_t &transferred)
{
    record(QString::asprintf("control %02X %u %u %zu", request, value, index, length));
    transferred = std::min<std::size_t>(length, std::size_t(controlReply.bytes.size()));
    std::copy_n(controlReply.bytes.constData(), transferred, data);
    return controlReply.result;
}

ch341::UsbResult RecordingLink::exchange(const std::vector<uint8_t> &out,
                                         const std::vector<std::size_t> &inLengths,
                                         std::vector<uint8_t> &in)
{
    record("exchange");
    const QByteArray wire(reinterpret_cast<const char *>(out.data()), int(out.size()));
    exchanges.push_back({wire, inLengths});
    QByteArray answer = answerFromWire(wire, inLengths);
    Reply reply{ch341::UsbResult::Ok, answer};
    const int number = int(exchanges.size()) - 1;
    if (scriptedReplies.contains(number))
        reply = scriptedReplies.value(number);
    in.insert(in.end(), reply.bytes.begin(), reply.bytes.end());
    return reply.result;
}

void RecordingLink::sleepMs(uint32_t milliseconds)
{
    record(QString("sleep %1").arg(milliseconds));
}

void RecordingLink::record(const QString &event)
{
    events << event;
    if (journal != nullptr)
        *journal << event;
}

QByteArray RecordingLink::answerFromWire(const QByteArray &out,
                                         const std::vector<std::size_t> &inLengths)
{
    const int packetSize = int(ch341::kPacketSize);
    if (out.isEmpty() || out.size() > int(ch341::kMaxOutTransfer))
        faults << QString("OUT transfer of %1 bytes").arg(out.size());
    QByteArray answer;
    std::size_t spiPackets = 0;
    for (int offset = 0; offset < out.size(); offset += packetSize) {
        const QByteArray packet = out.mid(offset, packetSize);
        if (packet[0] != kSpiStream && packet[0] != kUioStream && packet[0] != kI2cStream) {
            faults << QString("packet at %1 starts with %2")
                          .arg(offset)
                          .arg(QString(packet.left(1).toHex()));
            continue;
        }
        if (packet[0] != kSpiStream)
            continue;
        const std::size_t dataLength = std::size_t(packet.size() - 1);
        if (spiPackets >= inLengths.size() || inLengths[spiPackets] != dataLength)
            faults << QString("SPI packet %1 of %2 bytes has no IN transfer of that size")
                          .arg(spiPackets)
                          .arg(dataLength);
        ++spiPackets;
        for (char byte : packet.mid(1))
            answer.append(char(~byte));
    }
    if (spiPackets != inLengths.size())
        faults
            << QString("%1 IN transfers for %2 SPI packets").arg(inLengths.size()).arg(spiPackets);
    return answer;
}

QString wireMismatch(const QByteArray &actual, const QByteArray &expected)
{
    if (actual == expected)
        return QString();
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return QString("first difference at byte %1\n  actual:   %2\n  expected: %3")
        .arg(at)
        .arg(QString(actual.toHex(' ')))
        .arg(QString(expected.toHex(' ')));
}
