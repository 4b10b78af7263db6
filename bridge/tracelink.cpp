#include "bridge/tracelink.h"

#include "bridge/crc32.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ch341 {

namespace {

const char *resultName(UsbResult result)
{
    switch (result) {
    case UsbResult::Ok:
        return "Ok";
    case UsbResult::NotFound:
        return "NotFound";
    case UsbResult::WrongMode:
        return "WrongMode";
    case UsbResult::NoDevice:
        return "NoDevice";
    case UsbResult::Access:
        return "Access";
    case UsbResult::Busy:
        return "Busy";
    case UsbResult::Timeout:
        return "Timeout";
    case UsbResult::ShortReply:
        return "ShortReply";
    case UsbResult::Io:
        break;
    }
    return "Io";
}

std::string hexByte(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0x0F], digits[value & 0x0F]};
}

// "OUT 02 3: A8 F9 00": direction and endpoint, the length asked for, the bytes moved.
std::string transferLine(const std::string &transfer, std::size_t length, const uint8_t *bytes,
                         std::size_t count)
{
    std::string line = transfer + ' ' + std::to_string(length) + ':';
    line.reserve(line.size() + 3 * count);
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += hexByte(bytes[i]);
    }
    return line;
}

// Bytes a summary line shows whole; of more, it shows the first and last kSummaryEdge.
constexpr std::size_t kSummaryWhole = 64;
constexpr std::size_t kSummaryEdge = 16;

std::string hexBytes(const uint8_t *bytes, std::size_t count)
{
    std::string text;
    text.reserve(3 * count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ' ';
        text += hexByte(bytes[i]);
    }
    return text;
}

// "OUT 02 32*3 17: 63 bytes ...": direction and endpoint, each transfer's length (repeats as
// length*count), then the bytes moved or, of more than kSummaryWhole, their edges and CRC-32.
std::string summaryLine(const std::string &transfers, const std::vector<std::size_t> &lengths,
                        const uint8_t *bytes, std::size_t count)
{
    std::string line = transfers;
    for (std::size_t i = 0; i < lengths.size();) {
        std::size_t repeats = 1;
        while (i + repeats < lengths.size() && lengths[i + repeats] == lengths[i])
            ++repeats;
        line += ' ' + std::to_string(lengths[i]);
        if (repeats > 1)
            line += '*' + std::to_string(repeats);
        i += repeats;
    }
    line += ':';
    if (count <= kSummaryWhole) {
        if (count > 0)
            line += ' ' + hexBytes(bytes, count);
        return line;
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", unsigned(crc32(bytes, count)));
    return line + ' ' + std::to_string(count) + " bytes, first " + hexBytes(bytes, kSummaryEdge) +
           ", last " + hexBytes(bytes + count - kSummaryEdge, kSummaryEdge) + ", CRC-32 " + crc;
}

} // namespace

std::shared_ptr<TraceFile> TraceFile::create(const std::string &path, std::string &error)
{
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (!file) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::shared_ptr<TraceFile>(new TraceFile(file));
}

TraceFile::TraceFile(std::FILE *file)
    : m_file(file)
    , m_start(std::chrono::steady_clock::now())
{
}

void TraceFile::write(const std::string &text)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - m_start);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%11.6f ", double(elapsed.count()) / 1e6);
    const std::string line = stamp + text + '\n';
    std::fwrite(line.data(), 1, line.size(), m_file.get());
    std::fflush(m_file.get());
}

TraceLink::TraceLink(std::unique_ptr<UsbLink> inner, std::shared_ptr<TraceFile> file,
                     TraceDetail detail)
    : m_inner(std::move(inner))
    , m_file(std::move(file))
    , m_detail(detail)
{
}

UsbResult TraceLink::open(BridgeChoice choice, OpenedBridge &opened)
{
    const UsbResult result = m_inner->open(choice, opened);
    m_file->write(std::string("open ") + resultName(result) +
                  (result == UsbResult::Ok ? ": " + opened.name : std::string()));
    if (result == UsbResult::Ok)
        m_bridge = opened.kind;
    return result;
}

void TraceLink::close()
{
    m_inner->close();
    m_file->write("close");
}

void TraceLink::drainIn()
{
    m_inner->drainIn();
    m_file->write("drain IN");
}

UsbResult TraceLink::controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred)
{
    const UsbResult result = m_inner->controlIn(request, value, index, data, length, transferred);
    char setup[64];
    std::snprintf(setup, sizeof setup, "CONTROL IN request %02X value %04X index %04X", request,
                  value, index);
    m_file->write(transferLine(setup, length, data, transferred));
    if (result != UsbResult::Ok)
        m_file->write(std::string("control failed: ") + resultName(result));
    return result;
}

UsbResult TraceLink::exchange(const OutTransfers &out, const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in)
{
    // The OUT bytes are in the file before the bridge sees them: a job that hangs or crashes
    // inside the exchange still leaves them there.
    const bool ch347 = m_bridge == BridgeKind::Ch347;
    const std::string outTransfer =
        "OUT " + hexByte(ch347 ? kCh347BulkOutEndpoint : kBulkOutEndpoint);
    if (m_detail == TraceDetail::EveryByte) {
        for (const std::vector<uint8_t> &transfer : out)
            m_file->write(
                transferLine(outTransfer, transfer.size(), transfer.data(), transfer.size()));
    } else if (!out.empty()) {
        std::vector<std::size_t> lengths;
        std::vector<uint8_t> bytes;
        for (const std::vector<uint8_t> &transfer : out) {
            lengths.push_back(transfer.size());
            bytes.insert(bytes.end(), transfer.begin(), transfer.end());
        }
        m_file->write(summaryLine(outTransfer, lengths, bytes.data(), bytes.size()));
    }
    const std::size_t start = in.size();
    const UsbResult result = m_inner->exchange(out, inLengths, in);
    const std::string inTransfer = "IN " + hexByte(ch347 ? kCh347BulkInEndpoint : kBulkInEndpoint);
    std::vector<std::size_t> reaped;
    std::size_t offset = start;
    for (const std::size_t length : inLengths) {
        // A failed exchange ends with the transfer that failed.
        if (offset == in.size() && result != UsbResult::Ok)
            break;
        const std::size_t count = std::min(length, in.size() - offset);
        if (m_detail == TraceDetail::EveryByte)
            m_file->write(transferLine(inTransfer, length, in.data() + offset, count));
        reaped.push_back(length);
        offset += count;
    }
    if (m_detail == TraceDetail::Summary && !reaped.empty())
        m_file->write(summaryLine(inTransfer, reaped, in.data() + start, offset - start));
    if (result != UsbResult::Ok)
        m_file->write(std::string("exchange failed: ") + resultName(result));
    return result;
}

void TraceLink::sleepMs(uint32_t milliseconds)
{
    m_file->write("sleep " + std::to_string(milliseconds) + " ms");
    m_inner->sleepMs(milliseconds);
}

void traceUsbLink(std::shared_ptr<TraceFile> file, TraceDetail detail)
{
    installUsbLink(std::make_unique<TraceLink>(takeUsbLink(), std::move(file), detail));
}

void untraceUsbLink()
{
    std::unique_ptr<UsbLink> link = takeUsbLink();
    if (auto *traced = dynamic_cast<TraceLink *>(link.get()))
        link = traced->takeInner();
    installUsbLink(std::move(link));
}

} // namespace ch341
