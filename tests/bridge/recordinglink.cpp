#include "recordinglink.h"

#include <algorithm>

ch341::UsbResult RecordingLink::open(std::string &deviceName)
{
    events << "open";
    if (openResult == ch341::UsbResult::Ok)
        deviceName = name;
    return openResult;
}

ch341::UsbResult RecordingLink::controlIn(uint8_t request, uint16_t value, uint16_t index,
                                          uint8_t *data, std::size_t length,
                                          std::size_t &transferred)
{
    events << QString::asprintf("control %02X %u %u %zu", request, value, index, length);
    transferred = std::min<std::size_t>(length, std::size_t(controlReply.bytes.size()));
    std::copy_n(controlReply.bytes.constData(), transferred, data);
    return controlReply.result;
}

ch341::UsbResult RecordingLink::exchange(const std::vector<uint8_t> &out,
                                         const std::vector<std::size_t> &inLengths,
                                         std::vector<uint8_t> &in)
{
    events << "exchange";
    const QByteArray wire(reinterpret_cast<const char *>(out.data()), int(out.size()));
    exchanges.push_back({wire, inLengths});
    Reply reply;
    std::vector<std::size_t> spiPackets;
    for (int offset = 0; offset < wire.size(); offset += int(ch341::kPacketSize)) {
        const QByteArray packet = wire.mid(offset, int(ch341::kPacketSize));
        if (packet[0] != char(0xA8))
            continue;
        spiPackets.push_back(std::size_t(packet.size() - 1));
        for (char byte : packet.mid(1))
            reply.bytes.append(char(~byte));
    }
    if (spiPackets != inLengths || wire.isEmpty() || out.size() > ch341::kMaxOutTransfer)
        ++framingFaults;
    reply = scriptedReplies.value(int(exchanges.size()) - 1, reply);
    in.insert(in.end(), reply.bytes.begin(), reply.bytes.end());
    return reply.result;
}
