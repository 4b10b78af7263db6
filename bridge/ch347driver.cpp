#include "bridge/ch347driver.h"

#include "bridge/i2cstream.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace ch341 {

namespace {

// Every command and every answer is a frame: command, data length (16 bits,
// little endian), data.
constexpr uint8_t kCmdConfigure = 0xC0;  // 26 bytes; answered by a frame of its own
constexpr uint8_t kCmdChipSelect = 0xC1; // two 5-byte entries, CS1 then CS2; no answer
constexpr uint8_t kCmdSpiDuplex = 0xC2;  // bytes out; answered by as many bytes in
constexpr uint8_t kCmdSpiIn = 0xC3;      // a 32-bit count; answered by frames of bytes in
constexpr uint8_t kCmdSpiOut = 0xC4;     // bytes out; answered by a 1-byte frame
constexpr std::size_t kHeaderLength = 3;
constexpr std::size_t kMaxData = kCh347MaxFrame - kHeaderLength; // 507
constexpr std::size_t kSpiOutAnswerLength = 1;
constexpr std::size_t kSpiInRequestLength = 4;

// Chip-select entry, byte 0.
constexpr uint8_t kSelectApply = 0x80;
constexpr uint8_t kSelectDeassert = 0x40;
constexpr std::size_t kSelectEntryLength = 5;
constexpr std::size_t kSelectLength = 2 * kSelectEntryLength;

// Configuration: offsets in its 26 bytes (all others 0).
constexpr std::size_t kConfigLength = 26;
constexpr std::size_t kConfigMasterLow = 2; // 0x0104, little endian: SPI master
constexpr std::size_t kConfigMasterHigh = 3;
constexpr std::size_t kConfigSelectControl = 11; // 0x02: chip select by command
constexpr std::size_t kConfigDivisor = 12;       // bits 5-3
constexpr std::size_t kConfigBitOrder = 14;      // bit 7: least significant bit first
constexpr std::size_t kConfigOffset16 = 16;      // 0x07, as both public drivers send it
// Clock polarity (offset 6), phase (8) and chip-select polarity (21) stay 0:
// mode 0, chip selects active low.
constexpr uint8_t kMasterLow = 0x04;
constexpr uint8_t kMasterHigh = 0x01;
constexpr uint8_t kSelectByCommand = 0x02;
constexpr unsigned kDivisorShift = 3;
constexpr uint8_t kLsbFirst = 0x80;
constexpr uint8_t kOffset16Value = 0x07;

// Stream mode bit 7: bytes travel most significant bit first.
constexpr uint32_t kMsbFirstFlag = 0x80;
constexpr uint8_t kPinChipSelect = 0x01; // D0

// A stream's trailing 0xFF bytes, past its first kExactLeadBytes and longer
// than a frame, go as one read request (0xC3), which clocks the bridge's idle
// byte out instead: a command's own bytes come first, and a chip that answers
// does not listen to its data input. Everything else goes out exactly.
constexpr std::size_t kExactLeadBytes = 16;
constexpr uint8_t kIdleHigh = 0xFF;
// An exchange clocks at most a quarter second of SPI bytes, well inside the
// link's one-second timeout even at the slowest clock.
constexpr uint32_t kClockedBytesPerExchangeDivisor = 8 * 4;
constexpr uint32_t kMicrosecondsPerSecond = 1000000;
constexpr uint32_t kUsPerMs = 1000;

// The CH347T takes the CH341A's I2C stream byte for byte, unframed, on its SPI interface:
// sub-commands carry up to 63 bytes, and the answer holds a status for every byte sent
// (01h: acknowledged), then the bytes read. A transaction longer than one transfer goes on
// in the next, as on the CH341A. Whether a transfer may hold a STOP and a next START is not
// documented: each transaction (an ACK poll too) opens a transfer of its own.
constexpr I2cStream::Limits kI2cLimits{kCh347MaxFrame, 63, kHighSpeedPacketSize, true, false};
constexpr uint8_t kI2cAck = 0x01;
constexpr uint32_t kI2cClocksPerByte = 9;
constexpr uint64_t kMaxExchangeBusNs = 250000000;
constexpr uint32_t kI2cSpeedMask = 0x03;

bool i2cAcknowledged(uint8_t status)
{
    return status == kI2cAck;
}

std::vector<uint8_t> frameOf(uint8_t command, const uint8_t *data, std::size_t length)
{
    std::vector<uint8_t> frame{command, uint8_t(length & 0xFF), uint8_t(length >> 8)};
    frame.insert(frame.end(), data, data + length);
    return frame;
}

std::array<uint8_t, kSelectLength> selectEntries(bool asserted)
{
    std::array<uint8_t, kSelectLength> entries{};
    entries[0] = uint8_t(kSelectApply | (asserted ? 0 : kSelectDeassert));
    return entries;
}

} // namespace

Ch347Driver::Ch347Driver(UsbLink &link)
    : BridgeDriver(link)
{
}

Ch347Driver::~Ch347Driver()
{
    close();
}

unsigned Ch347Driver::clockDivisor(uint32_t kHz)
{
    const uint64_t wantedHz = uint64_t(kHz == 0 ? kDefaultClockKHz : kHz) * 1000;
    unsigned divisor = 0;
    while (divisor < kSlowestDivisor && (kBaseClockHz >> divisor) > wantedHz)
        ++divisor;
    return divisor;
}

void Ch347Driver::resetSession()
{
    m_i2cSpeedCode = 0;
    m_i2cSpeedSent = true;
    m_select = Select::Unknown;
    m_lsbFirst = false;
    m_divisor = clockDivisor(chosenSpiClockKHz());
}

uint32_t Ch347Driver::versionCode()
{
    // No public source knows a version request for the CH347.
    return 0;
}

std::string Ch347Driver::spiClockText() const
{
    char megahertz[32];
    std::snprintf(megahertz, sizeof megahertz, "%.5f", clockHz() / 1e6);
    std::string text = megahertz;
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.')
        text.pop_back();
    return "SPI clock: " + text + " MHz";
}

bool Ch347Driver::setStream(uint32_t mode)
{
    // Stream mode bits 0-2 choose I2C speeds and the CH341A's second data
    // line, none of which this bridge's SPI has.
    if (!usable() || !flushPending())
        return false;
    m_lsbFirst = (mode & kMsbFirstFlag) == 0;
    // The I2C clock goes to the bridge with the next I2C transaction.
    m_i2cSpeedCode = mode & kI2cSpeedMask;
    m_i2cSpeedSent = false;
    m_divisor = clockDivisor(chosenSpiClockKHz());
    uint8_t config[kConfigLength] = {};
    config[kConfigMasterLow] = kMasterLow;
    config[kConfigMasterHigh] = kMasterHigh;
    config[kConfigSelectControl] = kSelectByCommand;
    config[kConfigDivisor] = uint8_t(m_divisor << kDivisorShift);
    config[kConfigBitOrder] = m_lsbFirst ? kLsbFirst : 0;
    config[kConfigOffset16] = kOffset16Value;
    if (!queueFrame(kCmdConfigure, config, kConfigLength, 0))
        return false;
    // Its answer's length is in no public source: it goes alone, last.
    m_expected.push_back({kCmdConfigure, 0, false, true});
    return flushPending();
}

bool Ch347Driver::setPins(uint32_t directions, uint32_t levels)
{
    const bool asserted = (directions & kPinChipSelect) && !(levels & kPinChipSelect);
    if (releasesAfterFailure(directions)) {
        // The bridge's SPI lines stay driven; chip select goes high, alone.
        m_select = Select::Deasserted;
        const auto entries = selectEntries(false);
        const OutTransfers out{frameOf(kCmdChipSelect, entries.data(), entries.size())};
        std::vector<uint8_t> in;
        return m_link.exchange(out, {}, in) == UsbResult::Ok;
    }
    if (!usable())
        return false;
    // Only D0, chip select, reaches the chip; the other pins are the bridge's own.
    const Select wanted = asserted ? Select::Asserted : Select::Deasserted;
    if (m_select == wanted)
        return true;
    m_select = wanted;
    const auto entries = selectEntries(asserted);
    return queueFrame(kCmdChipSelect, entries.data(), entries.size(), 0);
}

bool Ch347Driver::streamSpi(uint32_t chipSelect, uint32_t length, uint8_t *buffer)
{
    // Chip select is framed by the caller through the pins.
    if (!usable() || chipSelect != 0 || (length > 0 && buffer == nullptr))
        return false;
    if (length == 0)
        return true;
    replies().clear();
    return queueWithAnswer(buffer, length) && takeAnswers(length, buffer);
}

bool Ch347Driver::queueSpi(uint32_t chipSelect, uint32_t length, const uint8_t *buffer,
                           bool keepAnswer)
{
    if (!usable() || chipSelect != 0 || (length > 0 && buffer == nullptr))
        return false;
    return keepAnswer ? queueWithAnswer(buffer, length) : queueOut(kCmdSpiOut, buffer, length);
}

bool Ch347Driver::queueDelayUs(uint32_t microseconds)
{
    if (!usable())
        return false;
    if (microseconds == 0)
        return true;
    if (m_select != Select::Deasserted) {
        // A selected chip would take clocked bytes as a command: the host waits.
        if (!flushPending())
            return false;
        m_link.sleepMs((microseconds + kUsPerMs - 1) / kUsPerMs);
        return true;
    }
    // The bridge has no pause command. Reading bytes in while every chip select
    // is high reaches no chip and takes 8 clocks a byte; what comes in is dropped.
    const uint64_t bytes =
        (uint64_t(microseconds) * clockHz() + 8ull * kMicrosecondsPerSecond - 1) /
        (8ull * kMicrosecondsPerSecond);
    return queueIn(std::size_t(bytes), false);
}

std::string Ch347Driver::busRefusal(EepromBus bus) const
{
    const std::string bridge = *model() ? model() : "CH347";
    if (bus == EepromBus::Microwire)
        return "The " + bridge +
               " has no documented Microwire interface: 93xx EEPROMs are reached through a "
               "CH341A.";
    if (bridge == "CH347F")
        return "The CH347F's I2C interface is not documented: 24xx EEPROMs are reached "
               "through a CH341A or a CH347T.";
    return std::string();
}

bool Ch347Driver::streamI2c(const uint8_t *write, uint32_t writeLength, uint8_t *read,
                            uint32_t readLength, uint32_t *ackCount)
{
    if (!acceptsI2c(write, writeLength, read, readLength) || !flushPending())
        return false;
    I2cStream stream(kI2cLimits);
    if (!m_i2cSpeedSent)
        stream.setSpeed(m_i2cSpeedCode);
    stream.transaction(write, writeLength, readLength, false);
    std::vector<uint8_t> answer;
    if (!streamI2cSegments(stream, answer))
        return false;
    stream.takeRead(answer, read);
    if (ackCount)
        *ackCount = stream.acknowledged(answer, i2cAcknowledged);
    return true;
}

bool Ch347Driver::streamI2cPolled(const uint8_t *write, uint32_t writeLength, uint32_t polls,
                                  uint32_t *firstAcknowledged)
{
    if (!acceptsI2c(write, writeLength, nullptr, 0) || firstAcknowledged == nullptr ||
        !flushPending())
        return false;
    I2cStream stream(kI2cLimits);
    if (!m_i2cSpeedSent)
        stream.setSpeed(m_i2cSpeedCode);
    stream.transaction(write, writeLength, 0, false);
    // The write's own statuses come first.
    const std::size_t writeStatuses = stream.statusCount();
    stream.polls(write[0], polls);
    std::vector<uint8_t> answer;
    if (!streamI2cSegments(stream, answer))
        return false;
    *firstAcknowledged = stream.firstAcknowledged(answer, i2cAcknowledged, writeStatuses);
    return true;
}

bool Ch347Driver::streamI2cSegments(const I2cStream &stream, std::vector<uint8_t> &answer)
{
    const uint64_t nsPerByte =
        kI2cClocksPerByte * 1000000ull / I2cStream::speedKHz(m_i2cSpeedCode);
    OutTransfers out;
    std::vector<std::size_t> inLengths;
    uint64_t busNs = 0;
    for (const I2cStream::Segment &segment : stream.segments()) {
        const uint64_t segmentNs = segment.sentBytes * nsPerByte;
        if (busNs + segmentNs > kMaxExchangeBusNs && !exchangeI2c(out, inLengths, answer))
            return false;
        busNs = out.empty() ? 0 : busNs;
        out.push_back(segment.bytes);
        if (segment.replyLength > 0)
            inLengths.push_back(segment.replyLength);
        busNs += segmentNs;
    }
    if (!exchangeI2c(out, inLengths, answer) || answer.size() != stream.replyLength())
        return false;
    m_i2cSpeedSent = true;
    return true;
}

bool Ch347Driver::exchangeI2c(OutTransfers &out, std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &answer)
{
    std::size_t expected = answer.size();
    for (std::size_t length : inLengths)
        expected += length;
    const bool ok = out.empty() || (succeeded(m_link.exchange(out, inLengths, answer)) &&
                                    answer.size() == expected);
    out.clear();
    inLengths.clear();
    if (!ok)
        fail();
    return ok;
}

bool Ch347Driver::queueWithAnswer(const uint8_t *data, std::size_t length)
{
    std::size_t exactEnd = length;
    while (exactEnd > kExactLeadBytes && data[exactEnd - 1] == kIdleHigh)
        --exactEnd;
    if (length - exactEnd <= kMaxData)
        exactEnd = length;
    return queueOut(kCmdSpiDuplex, data, exactEnd) && queueIn(length - exactEnd, true);
}

bool Ch347Driver::queueOut(uint8_t command, const uint8_t *data, std::size_t length)
{
    const bool duplex = command == kCmdSpiDuplex;
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t chunk = std::min(kMaxData, length - offset);
        if (!queueFrame(command, data + offset, chunk, chunk))
            return false;
        m_expected.push_back({command, duplex ? chunk : kSpiOutAnswerLength, duplex, false});
        offset += chunk;
    }
    return true;
}

bool Ch347Driver::queueIn(std::size_t count, bool wanted)
{
    const std::size_t perExchange = clockHz() / kClockedBytesPerExchangeDivisor;
    while (count > 0) {
        const std::size_t request = std::min(count, perExchange);
        const uint8_t le32[kSpiInRequestLength] = {uint8_t(request), uint8_t(request >> 8),
                                                   uint8_t(request >> 16), uint8_t(request >> 24)};
        if (!queueFrame(kCmdSpiIn, le32, kSpiInRequestLength, request))
            return false;
        for (std::size_t left = request; left > 0;) {
            const std::size_t chunk = std::min(kMaxData, left);
            m_expected.push_back({kCmdSpiIn, chunk, wanted, false});
            left -= chunk;
        }
        count -= request;
    }
    return true;
}

bool Ch347Driver::queueFrame(uint8_t command, const uint8_t *data, std::size_t length,
                             std::size_t clocked)
{
    const std::size_t size = kHeaderLength + length;
    const std::size_t clockBudget = clockHz() / kClockedBytesPerExchangeDivisor;
    if ((m_pendingBytes + size > kCh347MaxExchangeOut ||
         m_pendingClocked + clocked > clockBudget) &&
        !flushPending())
        return false;
    m_pendingOut.push_back(frameOf(command, data, length));
    m_pendingBytes += size;
    m_pendingClocked += clocked;
    return true;
}

bool Ch347Driver::flushPending()
{
    if (m_pendingOut.empty())
        return true;
    OutTransfers out;
    out.swap(m_pendingOut);
    std::vector<ExpectedFrame> expected;
    expected.swap(m_expected);
    dropPending();

    std::vector<std::size_t> inLengths;
    for (const ExpectedFrame &frame : expected)
        inLengths.push_back(frame.anyLength ? kCh347MaxFrame : kHeaderLength + frame.length);
    std::vector<uint8_t> in;
    if (!succeeded(m_link.exchange(out, inLengths, in)) || !takeFrames(in, expected)) {
        fail();
        return false;
    }
    return true;
}

// An answer with another command, another length than asked, or fewer bytes
// than its header says is no answer to what was sent: the session fails
// rather than hand over shifted data.
bool Ch347Driver::takeFrames(const std::vector<uint8_t> &in,
                             const std::vector<ExpectedFrame> &expected)
{
    std::size_t at = 0;
    for (const ExpectedFrame &frame : expected) {
        if (in.size() - at < kHeaderLength)
            return false;
        const uint8_t *header = in.data() + at;
        const std::size_t length = std::size_t(header[1]) | std::size_t(header[2]) << 8;
        const std::size_t body = in.size() - at - kHeaderLength;
        if (header[0] != frame.command || length > kMaxData || length > body ||
            (frame.anyLength ? length != body : length != frame.length))
            return false;
        if (frame.wanted)
            replies().insert(replies().end(), header + kHeaderLength,
                             header + kHeaderLength + length);
        at += kHeaderLength + length;
    }
    return at == in.size();
}

void Ch347Driver::dropPending()
{
    m_pendingOut.clear();
    m_expected.clear();
    m_pendingBytes = 0;
    m_pendingClocked = 0;
}

} // namespace ch341
