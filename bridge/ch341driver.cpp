#include "bridge/ch341driver.h"

#include "bridge/i2cstream.h"

#include <algorithm>

namespace ch341 {

namespace {

// Stream commands: byte 0 of every 32-byte packet of the OUT stream.
constexpr uint8_t kCmdI2cStream = 0xAA; // I2C stream, used here for its SET command
constexpr uint8_t kCmdSpiStream = 0xA8; // SPI stream: the rest of the packet is data
constexpr uint8_t kCmdUioStream = 0xAB; // UIO stream: direct access to D5..D0

constexpr uint8_t kI2cSet = 0x60; // + bits 2..0 of the stream mode
constexpr uint8_t kI2cEnd = 0x00;
constexpr uint8_t kUioOut = 0x80; // + levels of D5..D0
constexpr uint8_t kUioDir = 0x40; // + directions of D5..D0, 1 = output
constexpr uint8_t kUioEnd = 0x20;
constexpr uint8_t kUioDelayUs = 0xC0; // + microseconds, 1 to 31
constexpr uint32_t kMaxUioDelayUs = 31;
constexpr uint8_t kI2cDelayMs = 0x50; // + milliseconds, 1 to 15
constexpr uint32_t kMaxI2cDelayMs = 15;
constexpr uint32_t kUsPerMs = 1000;

constexpr uint8_t kStreamModeMask = 0x07;
constexpr uint32_t kMirrorFlag = 0x80;
constexpr uint8_t kPinMask = 0x3F;

// Vendor control request answering the chip version in byte 0.
constexpr uint8_t kReqReadVersion = 0x5F;
constexpr std::size_t kVersionLength = 2;

constexpr std::size_t kSpiPayload = kPacketSize - 1;

// The I2C stream in 32-byte packets: an OUT sub-command carries what the packet holds, an IN
// one up to 32 bytes (0xE0), and one packet is answered by at most one 32-byte IN packet.
// The bridge reports no acknowledge but a bare OUT's, in bit 7 (set: refused). It runs a
// packet's sub-commands in order, so ACK polls (START, address, STOP) share packets.
constexpr I2cStream::Limits kI2cLimits{kPacketSize, 32, kPacketSize, false, true};
constexpr uint8_t kI2cNack = 0x80;
constexpr uint32_t kI2cClocksPerByte = 9; // 8 data bits and the acknowledge
// An exchange keeps the I2C bus busy for at most a quarter second, well inside the link's
// one-second timeout even at 20 kHz.
constexpr uint64_t kMaxExchangeBusNs = 250000000;

// Microwire through the UIO stream. Pin map of a 93xx adapter in the 25xx socket:
//   bit  pin  93xx
//   D0   15   CS, active high
//   D3   18   CLK
//   D5   20   DI (data into the part)
//   D7   22   DO (data from the part), input only
constexpr uint8_t kWireCs = 0x01;
constexpr uint8_t kWireClk = 0x08;
constexpr uint8_t kWireDi = 0x20;
constexpr uint8_t kWireDo = 0x80;
constexpr uint8_t kWireOutputs = kWireCs | kWireClk | kWireDi;
constexpr uint8_t kUioRead = 0x00;
// 0xAB, the sub-commands, END.
constexpr std::size_t kUioCommandsPerPacket = kPacketSize - 2;

bool i2cAcknowledged(uint8_t status)
{
    return (status & kI2cNack) == 0;
}

// The UIO sub-commands of one instruction: chip select low, then high; each bit out set with
// the clock low and taken at its rising edge; each sample read where the clock left DO, the
// next one a clock later; the clock low and chip select low at the end.
std::vector<uint8_t> microwireCommands(const uint8_t *out, uint32_t outBits, uint32_t inBits)
{
    const auto level = [](uint8_t pins) { return uint8_t(kUioOut | pins); };
    std::vector<uint8_t> commands{level(0), uint8_t(kUioDir | kWireOutputs), level(kWireCs)};
    for (uint32_t i = 0; i < outBits; ++i) {
        const uint8_t data = (out[i / 8] >> (7 - i % 8)) & 1 ? kWireDi : 0;
        commands.push_back(level(kWireCs | data));
        commands.push_back(level(kWireCs | kWireClk | data));
    }
    for (uint32_t i = 0; i < inBits; ++i) {
        if (i > 0) {
            commands.push_back(level(kWireCs));
            commands.push_back(level(kWireCs | kWireClk));
        }
        commands.push_back(kUioRead);
    }
    commands.push_back(level(kWireCs));
    commands.push_back(level(0));
    return commands;
}

} // namespace

uint8_t mirrorByte(uint8_t value)
{
    value = uint8_t((value & 0xF0) >> 4 | (value & 0x0F) << 4);
    value = uint8_t((value & 0xCC) >> 2 | (value & 0x33) << 2);
    return uint8_t((value & 0xAA) >> 1 | (value & 0x55) << 1);
}

Ch341Driver::Ch341Driver(UsbLink &link)
    : BridgeDriver(link)
{
}

Ch341Driver::~Ch341Driver()
{
    close();
}

void Ch341Driver::resetSession()
{
    m_mirror = false;
    m_streamMode = 0;
    m_directions = 0;
}

uint32_t Ch341Driver::versionCode()
{
    if (!usable() || !flushPending())
        return 0;
    uint8_t reply[kVersionLength] = {};
    std::size_t transferred = 0;
    const UsbResult result =
        m_link.controlIn(kReqReadVersion, 0, 0, reply, kVersionLength, transferred);
    if (!succeeded(result) || transferred != kVersionLength)
        return 0;
    return reply[0];
}

std::string Ch341Driver::spiClockText() const
{
    if (chosenSpiClockKHz() == 0)
        return std::string();
    return "The CH341A clocks SPI at its own fixed rate of about 1.5 MHz: the SPI clock "
           "choice is ignored.";
}

bool Ch341Driver::setStream(uint32_t mode)
{
    if (!usable())
        return false;
    // The bridge shifts SPI bytes least significant bit first; most significant
    // bit first is done here by mirroring every byte both ways.
    m_mirror = (mode & kMirrorFlag) != 0;
    m_streamMode = uint8_t(mode & kStreamModeMask);
    return queueCommand({kCmdI2cStream, uint8_t(kI2cSet | (mode & kStreamModeMask)), kI2cEnd});
}

bool Ch341Driver::setPins(uint32_t directions, uint32_t levels)
{
    if (releasesAfterFailure(directions)) {
        // Letting every pin go is all a failed session may still do; it goes
        // out at once, alone, since nothing else may follow it.
        const uint8_t release[] = {kCmdUioStream, uint8_t(kUioDir | (directions & kPinMask)),
                                   uint8_t(kUioOut | (levels & kPinMask)), kUioEnd};
        OutTransfers out(1, std::vector<uint8_t>(std::begin(release), std::end(release)));
        out.front().resize(kPacketSize, 0);
        std::vector<uint8_t> in;
        m_directions = 0;
        return m_link.exchange(out, {}, in) == UsbResult::Ok;
    }
    if (!usable())
        return false;
    const uint8_t levelByte = uint8_t(kUioOut | (levels & kPinMask));
    const uint8_t directionByte = uint8_t(kUioDir | (directions & kPinMask));
    const bool releasesOutputs = (m_directions & ~directions & kPinMask) != 0;
    m_directions = uint8_t(directions & kPinMask);
    // New outputs get their levels before they are driven. Outputs that are
    // given up are let go first, so their old levels never change while
    // driven: lowering the levels first would pulse chip select.
    if (releasesOutputs)
        return queueUioCommand({directionByte, levelByte});
    return queueUioCommand({levelByte, directionByte});
}

bool Ch341Driver::streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer)
{
    // Chip select is framed by the caller through the pins; no select line is
    // driven from here.
    if (!usable() || chipSelect != 0 || (length > 0 && buffer == nullptr))
        return false;
    if (length == 0)
        return true;
    replies().clear();
    return queueSpiPackets(length, buffer, true) && takeAnswers(length, buffer);
}

bool Ch341Driver::queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                           bool keepAnswer)
{
    if (!usable() || chipSelect != 0 || (length > 0 && buffer == nullptr))
        return false;
    return queueSpiPackets(length, buffer, keepAnswer);
}

bool Ch341Driver::queueDelayUs(uint32_t microseconds)
{
    if (!usable())
        return false;
    // Whole milliseconds as I2C stream delays, the rest as UIO stream delays;
    // a delay count of 0 would wait far longer than asked.
    for (uint32_t ms = microseconds / kUsPerMs; ms > 0;) {
        if (!makeRoom(kPacketSize))
            return false;
        uint8_t packet[kPacketSize] = {kCmdI2cStream};
        std::size_t used = 1;
        for (; ms > 0 && used < kPacketSize - 1; ++used) {
            const uint32_t step = std::min(ms, kMaxI2cDelayMs);
            packet[used] = uint8_t(kI2cDelayMs | step);
            ms -= step;
        }
        packet[used] = kI2cEnd;
        appendPacket(packet, kPacketSize);
    }
    for (uint32_t us = microseconds % kUsPerMs; us > 0;) {
        const uint32_t step = std::min(us, kMaxUioDelayUs);
        if (!queueUioCommand({uint8_t(kUioDelayUs | step)}))
            return false;
        us -= step;
    }
    return true;
}

bool Ch341Driver::streamI2c(const uint8_t *write, uint32_t writeLength, uint8_t *read,
                            uint32_t readLength, uint32_t *ackCount)
{
    if (!acceptsI2c(write, writeLength, read, readLength))
        return false;
    I2cStream stream(kI2cLimits);
    stream.transaction(write, writeLength, readLength, ackCount != nullptr);
    std::vector<uint8_t> answer;
    if (!exchangeI2c(stream, answer))
        return false;
    stream.takeRead(answer, read);
    if (ackCount)
        *ackCount = stream.acknowledged(answer, i2cAcknowledged);
    return true;
}

bool Ch341Driver::streamI2cPolled(const uint8_t *write, uint32_t writeLength, uint32_t polls,
                                  uint32_t *firstAcknowledged)
{
    if (!acceptsI2c(write, writeLength, nullptr, 0) || firstAcknowledged == nullptr)
        return false;
    I2cStream stream(kI2cLimits);
    stream.transaction(write, writeLength, 0, false);
    stream.polls(write[0], polls);
    std::vector<uint8_t> answer;
    if (!exchangeI2c(stream, answer))
        return false;
    *firstAcknowledged = stream.firstAcknowledged(answer, i2cAcknowledged, 0);
    return true;
}

bool Ch341Driver::exchangeI2c(const I2cStream &stream, std::vector<uint8_t> &answer)
{
    replies().clear();
    const uint64_t nsPerByte = kI2cClocksPerByte * 1000000ull / I2cStream::speedKHz(m_streamMode);
    for (const I2cStream::Segment &segment : stream.segments()) {
        if (!queueAnsweredPacket(segment.bytes, segment.replyLength,
                                 segment.sentBytes * nsPerByte))
            return false;
    }
    answer.resize(stream.replyLength());
    return takeAnswers(uint32_t(answer.size()), answer.data());
}

bool Ch341Driver::streamMicrowire(const uint8_t *out, uint32_t outBits, uint8_t *in,
                                  uint32_t inBits)
{
    if (!acceptsMicrowire(out, outBits, in, inBits))
        return false;
    const std::vector<uint8_t> commands = microwireCommands(out, outBits, inBits);
    m_directions = kWireOutputs;
    replies().clear();
    for (std::size_t at = 0; at < commands.size(); at += kUioCommandsPerPacket) {
        const auto first = commands.begin() + std::ptrdiff_t(at);
        const auto last = commands.begin() +
                          std::ptrdiff_t(std::min(commands.size(), at + kUioCommandsPerPacket));
        std::vector<uint8_t> packet{kCmdUioStream};
        packet.insert(packet.end(), first, last);
        packet.push_back(kUioEnd);
        if (!queueAnsweredPacket(packet, std::size_t(std::count(first, last, kUioRead)), 0))
            return false;
    }
    std::vector<uint8_t> samples(inBits);
    if (!takeAnswers(inBits, samples.data()))
        return false;
    std::fill(in, in + (inBits + 7) / 8, 0);
    for (uint32_t i = 0; i < inBits; ++i) {
        if (samples[i] & kWireDo)
            in[i / 8] = uint8_t(in[i / 8] | 0x80 >> (i % 8));
    }
    return true;
}

bool Ch341Driver::queueAnsweredPacket(const std::vector<uint8_t> &packet, std::size_t replyLength,
                                      uint64_t busNs)
{
    if (m_pendingBusNs + busNs > kMaxExchangeBusNs && !flushPending())
        return false;
    if (!makeRoom(kPacketSize))
        return false;
    uint8_t full[kPacketSize] = {};
    std::copy(packet.begin(), packet.end(), full);
    appendPacket(full, kPacketSize);
    m_pendingBusNs += busNs;
    if (replyLength > 0)
        m_pendingIn.push_back({replyLength, true, true});
    return true;
}

bool Ch341Driver::queueCommand(std::initializer_list<uint8_t> bytes)
{
    // A short packet would end the OUT transfer, so every command fills a
    // whole packet; the bridge ignores what follows END.
    if (!makeRoom(kPacketSize))
        return false;
    uint8_t packet[kPacketSize] = {};
    std::copy(bytes.begin(), bytes.end(), packet);
    appendPacket(packet, kPacketSize);
    return true;
}

bool Ch341Driver::queueUioCommand(std::initializer_list<uint8_t> bytes)
{
    // Consecutive pin commands share one UIO packet: the bridge carries them
    // out in order, a fraction of a microsecond apart.
    if (m_uioEnd != 0 && m_uioEnd + bytes.size() < kPacketSize) {
        std::vector<uint8_t> &transfer = m_pendingOut.back();
        const std::size_t packetStart = transfer.size() - kPacketSize;
        std::copy(bytes.begin(), bytes.end(),
                  transfer.begin() + std::ptrdiff_t(packetStart + m_uioEnd));
        m_uioEnd += bytes.size();
        transfer[packetStart + m_uioEnd] = kUioEnd;
        return true;
    }
    if (!makeRoom(kPacketSize))
        return false;
    uint8_t packet[kPacketSize] = {kCmdUioStream};
    std::copy(bytes.begin(), bytes.end(), packet + 1);
    packet[1 + bytes.size()] = kUioEnd;
    appendPacket(packet, kPacketSize);
    m_uioEnd = 1 + bytes.size();
    return true;
}

bool Ch341Driver::queueSpiPackets(uint32_t length, const uint8_t *buffer, bool wanted)
{
    uint8_t packet[kPacketSize] = {kCmdSpiStream};
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t chunk = std::min<std::size_t>(kSpiPayload, length - offset);
        if (!makeRoom(1 + chunk))
            return false;
        for (std::size_t i = 0; i < chunk; ++i) {
            const uint8_t byte = buffer[offset + i];
            packet[1 + i] = m_mirror ? mirrorByte(byte) : byte;
        }
        appendPacket(packet, 1 + chunk);
        m_pendingIn.push_back({chunk, wanted, false});
        offset += chunk;
    }
    return true;
}

bool Ch341Driver::makeRoom(std::size_t bytes)
{
    return m_pendingBytes + bytes <= kMaxExchangeOut || flushPending();
}

void Ch341Driver::appendPacket(const uint8_t *bytes, std::size_t size)
{
    if (m_lastTransferEnded || m_pendingOut.back().size() + size > kMaxOutTransfer)
        m_pendingOut.emplace_back();
    m_pendingOut.back().insert(m_pendingOut.back().end(), bytes, bytes + size);
    m_pendingBytes += size;
    m_lastTransferEnded = size < kPacketSize;
    m_uioEnd = 0;
}

bool Ch341Driver::flushPending()
{
    if (m_pendingOut.empty())
        return true;
    OutTransfers out;
    out.swap(m_pendingOut);
    std::vector<PendingIn> pendingIn;
    pendingIn.swap(m_pendingIn);
    dropPending();

    std::vector<std::size_t> inLengths;
    std::size_t expected = 0;
    for (const PendingIn &reply : pendingIn) {
        inLengths.push_back(reply.length);
        expected += reply.length;
    }
    std::vector<uint8_t> in;
    if (!succeeded(m_link.exchange(out, inLengths, in)) || in.size() != expected) {
        fail();
        return false;
    }
    auto next = in.cbegin();
    for (const PendingIn &reply : pendingIn) {
        for (std::size_t i = 0; reply.wanted && i < reply.length; ++i)
            replies().push_back(m_mirror && !reply.raw ? mirrorByte(next[std::ptrdiff_t(i)])
                                                       : next[std::ptrdiff_t(i)]);
        next += std::ptrdiff_t(reply.length);
    }
    return true;
}

void Ch341Driver::dropPending()
{
    m_pendingOut.clear();
    m_pendingIn.clear();
    m_pendingBytes = 0;
    m_pendingBusNs = 0;
    m_lastTransferEnded = true;
    m_uioEnd = 0;
}

} // namespace ch341
