#include "bridge/ch341driver.h"

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
        m_pendingIn.push_back({chunk, wanted});
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
            replies().push_back(m_mirror ? mirrorByte(next[std::ptrdiff_t(i)])
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
    m_lastTransferEnded = true;
    m_uioEnd = 0;
}

} // namespace ch341
