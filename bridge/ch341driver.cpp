#include "bridge/ch341driver.h"

#include <algorithm>
#include <numeric>

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
    : m_link(link)
{
}

Ch341Driver::~Ch341Driver()
{
    close();
}

uintptr_t Ch341Driver::open()
{
    // A device lost in an earlier job may have been plugged in again: drop
    // the dead handle and look for it afresh.
    if (m_lost)
        close();
    if (m_open)
        return kOpenToken;
    std::string name;
    m_lastOpenResult = m_link.open(name);
    if (m_lastOpenResult != UsbResult::Ok)
        return kInvalidToken;
    // Leftovers of an aborted session would shift every later answer.
    m_link.drainIn();
    m_open = true;
    m_deviceName = name;
    m_mirror = false;
    m_directions = 0;
    m_pending.clear();
    return kOpenToken;
}

void Ch341Driver::close()
{
    if (!m_open)
        return;
    if (!m_lost)
        flushPending();
    m_pending.clear();
    m_link.close();
    m_open = false;
    m_lost = false;
    m_mirror = false;
    m_deviceName.clear();
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

const char *Ch341Driver::deviceName() const
{
    return usable() ? m_deviceName.c_str() : "";
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

bool Ch341Driver::setDelayMs(uint32_t milliseconds)
{
    if (m_lost || (m_open && !flushPending()))
        return false;
    m_link.sleepMs(milliseconds);
    return true;
}

bool Ch341Driver::setPins(uint32_t directions, uint32_t levels)
{
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
        return queueCommand({kCmdUioStream, directionByte, levelByte, kUioEnd});
    return queueCommand({kCmdUioStream, levelByte, directionByte, kUioEnd});
}

bool Ch341Driver::streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer)
{
    // Chip select is framed by the caller through the pins; no select line is
    // driven from here.
    if (!usable() || chipSelect != 0 || (length > 0 && buffer == nullptr))
        return false;
    if (length == 0)
        return true;

    std::vector<uint8_t> out;
    out.swap(m_pending);
    std::vector<std::size_t> inLengths;
    std::vector<uint8_t> replies;
    replies.reserve(length);
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t chunk = std::min<std::size_t>(kSpiPayload, length - offset);
        if (out.size() + 1 + chunk > kMaxOutTransfer) {
            if (!transfer(out, inLengths, replies))
                return false;
            out.clear();
            inLengths.clear();
        }
        out.push_back(kCmdSpiStream);
        for (std::size_t i = 0; i < chunk; ++i) {
            const uint8_t byte = buffer[offset + i];
            out.push_back(m_mirror ? mirrorByte(byte) : byte);
        }
        inLengths.push_back(chunk);
        offset += chunk;
    }
    if (!transfer(out, inLengths, replies))
        return false;

    for (std::size_t i = 0; i < length; ++i)
        buffer[i] = m_mirror ? mirrorByte(replies[i]) : replies[i];
    return true;
}

bool Ch341Driver::queueCommand(std::initializer_list<uint8_t> bytes)
{
    // A short packet would end the OUT transfer, so every queued command
    // fills a whole packet; the bridge ignores what follows END.
    if (m_pending.size() + kPacketSize > kMaxOutTransfer && !flushPending())
        return false;
    const std::size_t start = m_pending.size();
    m_pending.resize(start + kPacketSize, 0x00);
    std::copy(bytes.begin(), bytes.end(), m_pending.begin() + std::ptrdiff_t(start));
    return true;
}

bool Ch341Driver::flushPending()
{
    if (m_pending.empty())
        return true;
    std::vector<uint8_t> out;
    out.swap(m_pending);
    std::vector<uint8_t> replies;
    return transfer(out, {}, replies);
}

bool Ch341Driver::transfer(const std::vector<uint8_t> &out,
                           const std::vector<std::size_t> &inLengths,
                           std::vector<uint8_t> &replies)
{
    std::vector<uint8_t> in;
    if (!succeeded(m_link.exchange(out, inLengths, in)))
        return false;
    const std::size_t expected =
        std::accumulate(inLengths.begin(), inLengths.end(), std::size_t(0));
    if (in.size() != expected)
        return false;
    replies.insert(replies.end(), in.begin(), in.end());
    return true;
}

bool Ch341Driver::succeeded(UsbResult result)
{
    if (result == UsbResult::NoDevice)
        m_lost = true;
    return result == UsbResult::Ok;
}

} // namespace ch341
