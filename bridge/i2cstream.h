#pragma once

// I2cStream: one I2C transaction as the bridges' I2C stream command (0xAA) carries it,
// cut into segments that each open with 0xAA and end with END, and how to read the bytes
// the bridge answers. The CH341A takes 32-byte packets; the CH347T takes the same stream
// byte for byte in transfers of its own size and answers a status for every byte sent.
// Plain data, used on the caller's thread.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ch341 {

class I2cStream
{
public:
    struct Limits
    {
        std::size_t segmentBytes; // 0xAA, the sub-commands and END
        std::size_t maxCount;     // bytes one OUT or IN sub-command may carry
        std::size_t maxReply;     // bytes the answer of one segment may hold
        bool statusPerSentByte;   // the bridge answers a status for every byte sent
        // Several transactions may share a segment: the bridge runs its sub-commands in
        // order, a STOP and the next START included (the CH341A's 32-byte packets).
        bool transactionsShareSegments;
    };
    struct Segment
    {
        std::vector<uint8_t> bytes;
        std::size_t replyLength = 0;
        std::size_t sentBytes = 0; // bytes it clocks onto the bus, in and out
    };

    // The 24xx I2C clock codes of stream mode bits 1-0, in kHz.
    static uint32_t speedKHz(uint32_t streamMode);

    explicit I2cStream(const Limits &limits);

    // ackEach: ask for the acknowledge of every byte (a bare OUT, one byte each), where the
    // bridge does not report them anyway.
    void transaction(const uint8_t *write, std::size_t writeLength, std::size_t readLength,
                     bool ackEach);
    // count ACK polls: START, the address byte with its acknowledge asked, STOP; packed into
    // shared segments where the bridge allows it, each poll whole in one.
    void polls(uint8_t address, std::size_t count);
    // A segment of its own: the I2C clock code (0 to 3).
    void setSpeed(uint32_t code);
    const std::vector<Segment> &segments() const { return m_segments; }
    std::size_t replyLength() const { return m_reply.size(); }

    // From the whole answer: the bytes read, and how many sent bytes were acknowledged
    // before the first that was not (statusAcknowledges tells a status byte's meaning).
    void takeRead(const std::vector<uint8_t> &answer, uint8_t *read) const;
    uint32_t acknowledged(const std::vector<uint8_t> &answer,
                          bool (*statusAcknowledges)(uint8_t)) const;
    // How many statuses the answer holds; and, counted from the status numbered `from`, the
    // first acknowledged one (as many as there are from there when none is).
    std::size_t statusCount() const;
    uint32_t firstAcknowledged(const std::vector<uint8_t> &answer,
                               bool (*statusAcknowledges)(uint8_t), std::size_t from) const;

private:
    enum class Reply : uint8_t { Status, Data };

    void put(uint8_t command, std::size_t room, std::size_t reply);
    void append(uint8_t byte) { m_segments.back().bytes.push_back(byte); }
    void open();
    void close();
    void send(const uint8_t *bytes, std::size_t length, bool ackEach);
    void receive(std::size_t length);

    Limits m_limits;
    std::vector<Segment> m_segments;
    std::vector<Reply> m_reply;
    bool m_open = false;
};

} // namespace ch341
