#pragma once

// SpiTransport: the SPI bus as the chip sees it, over the bridge library's operations for
// device 0: chip select, frames sent at once or queued, answers kept for later, pauses the
// bridge makes itself and the flush. Once a call fails, every later one refuses: the chip may
// have missed part of a command, so it gets nothing more. Worker thread.

#include <QByteArray>

#include <cstdint>

class SpiTransport
{
public:
    bool select();
    bool deselect();
    // Queues the frame in a select window that closes after it, unless the answer follows
    // (keepSelected). The bytes queued; -1 when the select, -2 when the stream was refused.
    qint64 send(const QByteArray &frame, bool keepSelected = false);
    // Clocks count bytes in, in a select window that closes after them; the answer stays as it
    // was when the transfer fails.
    void receive(int count, QByteArray &answer);
    // One select window and one stream: the header out, then count bytes in.
    bool command(const QByteArray &header, int count, QByteArray &answer);
    // A frame whose answer the bridge keeps for readQueuedAnswers.
    void queueWithAnswer(const QByteArray &frame);
    bool readQueuedAnswers(QByteArray &answers);
    // A pause the bridge makes between the commands queued around it.
    void pause(uint32_t microseconds);
    // Sends the queued commands now, so that a routine reports their failure before it reports
    // success. False when the transfers have failed.
    bool flush();
    // Bridge settings: a refusal counts as a failed transfer.
    void setStreamMode(uint32_t mode);
    // Sends what is queued, then waits.
    void delayMs(uint32_t milliseconds);

    // The bytes one read command of a whole-chip read asks for on this bridge.
    int readChunk() const;
    // The bridge's SPI clock in kHz; 0 where it is fixed.
    uint32_t clockKHz() const;

    // A transfer of the same programmer on another bus (I2C, Microwire): its failure is this
    // one's, since the programmer is gone for every bus.
    // Returns succeeded.
    bool recordTransfer(bool succeeded) { return Succeeded(succeeded); }

    // Set once a select, stream or pause failed: the programmer was unplugged or stopped
    // answering. Stays set for the transport's life.
    const bool &failed() const { return m_failed; }

private:
    bool Succeeded(bool succeeded);

    bool m_failed = false;
};
