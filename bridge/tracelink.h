#pragma once

// TraceLink writes the transfers of the link it wraps to a trace file (the time, direction,
// endpoint, lengths and bytes), so a user can send what a misbehaving bridge or chip did. By
// default it leaves out the bulk of the chip's contents, which may hold keys and serial
// numbers. It forwards each call unchanged: the bus carries the same bytes with or without it.
// Runs on the thread that calls the bridge library.

#include "bridge/usblink.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace ch341 {

// The process's trace file. Each line is written whole with one call (stdio locks the stream
// for it), starts with the seconds since the trace began and reaches the file at once, so
// lines from several threads never mix and a crash or Ctrl-C keeps what came before.
class TraceFile
{
public:
    // Truncates or creates the file; written in place, so a FIFO or a device stays one.
    // nullptr, with the system's reason in error, when it cannot be opened.
    static std::shared_ptr<TraceFile> create(const std::string &path, std::string &error);

    void write(const std::string &text);

private:
    struct Closer
    {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };

    explicit TraceFile(std::FILE *file);

    std::unique_ptr<std::FILE, Closer> m_file;
    const std::chrono::steady_clock::time_point m_start;
};

// What a trace holds of the bytes an exchange moves.
enum class TraceDetail {
    // Per exchange and direction, one line with each transfer's length: all the bytes when
    // they are 64 or fewer, else the first and last 16 and the CRC-32 of them all.
    Summary,
    // A line per transfer, with every byte.
    EveryByte,
};

class TraceLink : public UsbLink
{
public:
    TraceLink(std::unique_ptr<UsbLink> inner, std::shared_ptr<TraceFile> file, TraceDetail detail);

    UsbResult open(BridgeChoice choice, OpenedBridge &opened) override;
    void close() override;
    void drainIn() override;
    UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                        std::size_t length, std::size_t &transferred) override;
    UsbResult exchange(const OutTransfers &out, const std::vector<std::size_t> &inLengths,
                       std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

    std::unique_ptr<UsbLink> takeInner() { return std::move(m_inner); }

private:
    std::unique_ptr<UsbLink> m_inner;
    std::shared_ptr<TraceFile> m_file;
    const TraceDetail m_detail;
    // The endpoints a transfer line names are the open bridge's.
    BridgeKind m_bridge = BridgeKind::Ch341a;
};

// Wraps the process-wide link (the libusb link when none is installed) in a TraceLink.
void traceUsbLink(std::shared_ptr<TraceFile> file, TraceDetail detail);
// Puts the link a TraceLink wraps back in its place.
void untraceUsbLink();

} // namespace ch341
