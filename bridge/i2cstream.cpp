#include "bridge/i2cstream.h"

#include <algorithm>

namespace ch341 {

namespace {

// I2C stream sub-commands.
constexpr uint8_t kCmdI2cStream = 0xAA;
constexpr uint8_t kI2cSet = 0x60;   // + the clock code
constexpr uint8_t kI2cStart = 0x74; // START, or a repeated START
constexpr uint8_t kI2cStop = 0x75;
constexpr uint8_t kI2cOut =
    0x80;                        // + n bytes that follow; bare: one byte, its acknowledge answered
constexpr uint8_t kI2cIn = 0xC0; // + n bytes in, each acknowledged; bare: one byte, not
constexpr uint8_t kI2cEnd = 0x00;
constexpr uint8_t kReadBit = 0x01;
constexpr uint32_t kSpeedCodeMask = 0x03;

} // namespace

uint32_t I2cStream::speedKHz(uint32_t streamMode)
{
    constexpr uint32_t kKHz[] = {20, 100, 400, 750};
    return kKHz[streamMode & kSpeedCodeMask];
}

I2cStream::I2cStream(const Limits &limits)
    : m_limits(limits)
{
}

void I2cStream::setSpeed(uint32_t code)
{
    put(uint8_t(kI2cSet | (code & kSpeedCodeMask)), 1, 0);
    close();
}

void I2cStream::transaction(const uint8_t *write, std::size_t writeLength, std::size_t readLength,
                            bool ackEach)
{
    put(kI2cStart, 1, 0);
    send(write, writeLength, ackEach);
    if (readLength > 0 && writeLength > 0) {
        const uint8_t readAddress = uint8_t(write[0] | kReadBit);
        put(kI2cStart, 1, 0);
        send(&readAddress, 1, ackEach);
        receive(readLength);
    }
    put(kI2cStop, 1, 0);
    close();
}

void I2cStream::polls(uint8_t address, std::size_t count)
{
    // START, a one-byte OUT (bare where the bridge reports no acknowledge otherwise), STOP.
    constexpr std::size_t kPollBytes = 4;
    for (std::size_t i = 0; i < count; ++i) {
        put(kI2cStart, kPollBytes, 0);
        send(&address, 1, true);
        put(kI2cStop, 1, 0);
        if (!m_limits.transactionsShareSegments)
            close();
    }
    close();
}

// Opens a new segment unless the open one holds `room` more bytes before its END and
// `reply` more answer bytes, then puts the command there.
void I2cStream::put(uint8_t command, std::size_t room, std::size_t reply)
{
    if (m_open && (m_segments.back().bytes.size() + room + 1 > m_limits.segmentBytes ||
                   m_segments.back().replyLength + reply > m_limits.maxReply))
        close();
    if (!m_open)
        open();
    append(command);
    m_segments.back().replyLength += reply;
}

void I2cStream::open()
{
    m_segments.emplace_back();
    append(kCmdI2cStream);
    m_open = true;
}

void I2cStream::close()
{
    if (!m_open)
        return;
    append(kI2cEnd);
    m_open = false;
}

void I2cStream::send(const uint8_t *bytes, std::size_t length, bool ackEach)
{
    const std::size_t statusEach = m_limits.statusPerSentByte ? 1 : 0;
    if (ackEach && !m_limits.statusPerSentByte) {
        for (std::size_t i = 0; i < length; ++i) {
            put(kI2cOut, 2, 1);
            append(bytes[i]);
            m_reply.push_back(Reply::Status);
            ++m_segments.back().sentBytes;
        }
        return;
    }
    for (std::size_t done = 0; done < length;) {
        if (!m_open)
            open();
        const Segment &segment = m_segments.back();
        // The command byte and END stay outside what the data may fill.
        const std::size_t used = segment.bytes.size() + 2;
        const std::size_t room = used < m_limits.segmentBytes ? m_limits.segmentBytes - used : 0;
        const std::size_t replyRoom =
            statusEach ? m_limits.maxReply - segment.replyLength : length - done;
        const std::size_t n = std::min({length - done, m_limits.maxCount, room, replyRoom});
        if (n == 0) {
            close();
            continue;
        }
        put(uint8_t(kI2cOut | n), 1 + n, n * statusEach);
        Segment &filled = m_segments.back();
        filled.bytes.insert(filled.bytes.end(), bytes + done, bytes + done + n);
        filled.sentBytes += n;
        m_reply.insert(m_reply.end(), n * statusEach, Reply::Status);
        done += n;
    }
}

// Every byte but the last is acknowledged by the bridge, which asks for more; the last is
// not, which ends the part's read and frees the data line.
void I2cStream::receive(std::size_t length)
{
    for (std::size_t left = length - 1; left > 0;) {
        if (!m_open)
            open();
        const Segment &segment = m_segments.back();
        const std::size_t n =
            std::min({left, m_limits.maxCount, m_limits.maxReply - segment.replyLength});
        if (n == 0 || segment.bytes.size() + 2 > m_limits.segmentBytes) {
            close();
            continue;
        }
        put(uint8_t(kI2cIn | n), 1, n);
        m_segments.back().sentBytes += n;
        m_reply.insert(m_reply.end(), n, Reply::Data);
        left -= n;
    }
    put(kI2cIn, 1, 1);
    ++m_segments.back().sentBytes;
    m_reply.push_back(Reply::Data);
}

std::size_t I2cStream::statusCount() const
{
    return std::size_t(std::count(m_reply.begin(), m_reply.end(), Reply::Status));
}

uint32_t I2cStream::firstAcknowledged(const std::vector<uint8_t> &answer,
                                      bool (*statusAcknowledges)(uint8_t), std::size_t from) const
{
    uint32_t index = 0;
    std::size_t status = 0;
    for (std::size_t i = 0; i < m_reply.size() && i < answer.size(); ++i) {
        if (m_reply[i] != Reply::Status || status++ < from)
            continue;
        if (statusAcknowledges(answer[i]))
            return index;
        ++index;
    }
    return index;
}

void I2cStream::takeRead(const std::vector<uint8_t> &answer, uint8_t *read) const
{
    for (std::size_t i = 0; i < m_reply.size() && i < answer.size(); ++i) {
        if (m_reply[i] == Reply::Data)
            *read++ = answer[i];
    }
}

uint32_t I2cStream::acknowledged(const std::vector<uint8_t> &answer,
                                 bool (*statusAcknowledges)(uint8_t)) const
{
    uint32_t count = 0;
    for (std::size_t i = 0; i < m_reply.size() && i < answer.size(); ++i) {
        if (m_reply[i] != Reply::Status)
            continue;
        if (!statusAcknowledges(answer[i]))
            break;
        ++count;
    }
    return count;
}

} // namespace ch341
