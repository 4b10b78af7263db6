#include "programmer/transport/spitransport.h"

#include "programmer/transport/bridgepins.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "bridge/ch341bridges.h"
#include "bridge/ch341dll.h"
#include "bridge/ch341queue.h"

namespace {
// Chip select is driven as a pin (D0), never by the bridge's own select lines.
constexpr uint32_t kNoHardwareChipSelect = 0;
} // namespace

bool SpiTransport::Succeeded(bool succeeded)
{
    if (!succeeded)
        m_failed = true;
    return succeeded;
}

bool SpiTransport::select()
{
    return !m_failed && Succeeded(CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::SPI_OUTPUTS,
                                                 BridgePins::SELECT_LEVELS) != 0);
}

bool SpiTransport::deselect()
{
    return !m_failed && Succeeded(CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::SPI_OUTPUTS,
                                                 BridgePins::DESELECT_LEVELS) != 0);
}

qint64 SpiTransport::send(const QByteArray &frame, bool keepSelected)
{
    if (!select())
        return -1;
    // Nobody reads what the chip answers to a send: the library queues it in front of the next
    // blocking exchange, which carries any failure.
    if (!Succeeded(CH341QueueStreamSPI4(BridgePins::DEVICE, kNoHardwareChipSelect,
                                        uint32_t(frame.size()), frame.constData()) != 0))
        return -2;
    if (!keepSelected)
        deselect();
    return frame.size();
}

void SpiTransport::receive(int count, QByteArray &answer)
{
    if (!select())
        return;
    QByteArray incoming(qMax(count, 0), char(0xFF));
    if (!Succeeded(CH341StreamSPI4(BridgePins::DEVICE, kNoHardwareChipSelect,
                                   uint32_t(incoming.size()), incoming.data()) != 0))
        return;
    answer = incoming;
    deselect();
}

bool SpiTransport::command(const QByteArray &header, int count, QByteArray &answer)
{
    // The header rides in the first packet of the data: one SPI packet, and so one USB
    // transaction each way, fewer than a send and a receive.
    QByteArray stream = header;
    stream.append(count, char(0xFF));
    if (!select() || !Succeeded(CH341StreamSPI4(BridgePins::DEVICE, kNoHardwareChipSelect,
                                                uint32_t(stream.size()), stream.data()) != 0))
        return false;
    deselect();
    answer = stream.mid(header.size());
    return true;
}

void SpiTransport::queueWithAnswer(const QByteArray &frame)
{
    if (select() && Succeeded(CH341QueueReadSPI4(BridgePins::DEVICE, kNoHardwareChipSelect,
                                                 uint32_t(frame.size()), frame.constData()) != 0))
        deselect();
}

bool SpiTransport::readQueuedAnswers(QByteArray &answers)
{
    return !m_failed &&
           Succeeded(CH341ReadQueuedAnswers(BridgePins::DEVICE, uint32_t(answers.size()),
                                            answers.data()) != 0);
}

void SpiTransport::pause(uint32_t microseconds)
{
    if (!m_failed)
        Succeeded(CH341QueueDelayUs(BridgePins::DEVICE, microseconds) != 0);
}

bool SpiTransport::flush()
{
    return !m_failed && Succeeded(CH341FlushQueue(BridgePins::DEVICE) != 0);
}

void SpiTransport::setStreamMode(uint32_t mode)
{
    Succeeded(CH341SetStream(BridgePins::DEVICE, mode) != 0);
}

void SpiTransport::delayMs(uint32_t milliseconds)
{
    Succeeded(CH341SetDelaymS(BridgePins::DEVICE, milliseconds) != 0);
}

int SpiTransport::readChunk() const
{
    return int(CH341GetReadChunk(BridgePins::DEVICE));
}

uint32_t SpiTransport::clockKHz() const
{
    return CH341GetSpiClockKHz(BridgePins::DEVICE);
}
