#include "bridge/libusblink.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <tuple>
#include <utility>

namespace ch341 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCh341aInterface = 0;
constexpr unsigned int kTransferTimeoutMs = 1000;
constexpr unsigned int kDrainTimeoutMs = 20;
// More than an exchange can leave behind: 8 KiB of CH341A OUT data answers in at
// most 265 packets, a CH347's quarter second of SPI bytes in fewer.
constexpr int kMaxStalePackets = 4096;
constexpr auto kExchangeTimeout = std::chrono::milliseconds(kTransferTimeoutMs);
// How long cancelled transfers may take to come back before they are abandoned.
constexpr auto kCancelTimeout = std::chrono::milliseconds(1000);
constexpr long kEventPollUs = 50000;
// USB allows at most seven tiers of hubs.
constexpr int kMaxPortDepth = 7;
constexpr uint8_t kVendorDeviceIn =
    LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;

uint8_t outEndpoint(BridgeKind kind)
{
    return kind == BridgeKind::Ch347 ? kCh347BulkOutEndpoint : kBulkOutEndpoint;
}

uint8_t inEndpoint(BridgeKind kind)
{
    return kind == BridgeKind::Ch347 ? kCh347BulkInEndpoint : kBulkInEndpoint;
}

UsbResult fromLibusb(int error)
{
    switch (error) {
    case LIBUSB_SUCCESS:
        return UsbResult::Ok;
    case LIBUSB_ERROR_ACCESS:
        return UsbResult::Access;
    case LIBUSB_ERROR_BUSY:
        return UsbResult::Busy;
    case LIBUSB_ERROR_NO_DEVICE:
        return UsbResult::NoDevice;
    case LIBUSB_ERROR_NOT_FOUND:
        return UsbResult::NotFound;
    case LIBUSB_ERROR_TIMEOUT:
        return UsbResult::Timeout;
    default:
        return UsbResult::Io;
    }
}

struct DeviceListDeleter
{
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};

// A supported bridge: which chip, its name and the interface its SPI is on.
struct Model
{
    uint16_t productId;
    BridgeKind kind;
    const char *name;
    int interfaceNumber;
};

// A CH341A comes before a CH347, so it keeps device index 0 unless the user picks.
constexpr Model kModels[] = {
    {kProductId, BridgeKind::Ch341a, "CH341A", kCh341aInterface},
    {kCh347tProductId, BridgeKind::Ch347, "CH347T", kCh347tSpiInterface},
    {kCh347fProductId, BridgeKind::Ch347, "CH347F", kCh347fSpiInterface},
};

bool isChosen(BridgeChoice choice, BridgeKind kind)
{
    return choice == BridgeChoice::Any ||
           (choice == BridgeChoice::Ch341a) == (kind == BridgeKind::Ch341a);
}

struct Candidate
{
    const Model *model = nullptr;
    libusb_device *device = nullptr;
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint8_t address = 0;
    uint16_t release = 0;
};

bool comesFirst(const Candidate &a, const Candidate &b)
{
    const bool aIsCh347 = a.model->kind == BridgeKind::Ch347;
    const bool bIsCh347 = b.model->kind == BridgeKind::Ch347;
    return std::tie(aIsCh347, a.bus, a.ports) < std::tie(bIsCh347, b.bus, b.ports);
}

// "1-1.3": the bus, then the hub ports from the root, as Linux names devices.
std::string portPath(const Candidate &candidate)
{
    std::string path = std::to_string(candidate.bus);
    for (std::size_t i = 0; i < candidate.ports.size(); ++i) {
        path += (i == 0 ? '-' : '.');
        path += std::to_string(candidate.ports[i]);
    }
    return path;
}

std::string describe(const Candidate &candidate)
{
    // bcdDevice 0x0304 reads as release 3.04.
    char text[128];
    std::snprintf(text, sizeof text, "%s %04x:%04x rev %x.%02x at usb %s (bus %u, addr %u)",
                  candidate.model->name, kVendorId, candidate.model->productId,
                  unsigned(candidate.release >> 8), unsigned(candidate.release & 0xFF),
                  portPath(candidate).c_str(), unsigned(candidate.bus),
                  unsigned(candidate.address));
    return text;
}

bool hasSerialModeBridge(libusb_device **list, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == kVendorId && descriptor.idProduct == kSerialModeProductId)
            return true;
    }
    return false;
}

const Model *modelOf(const libusb_device_descriptor &descriptor, BridgeChoice choice)
{
    for (const Model &model : kModels) {
        if (descriptor.idVendor == kVendorId && descriptor.idProduct == model.productId &&
            isChosen(choice, model.kind))
            return &model;
    }
    return nullptr;
}

std::vector<Candidate> findBridges(libusb_device **list, ssize_t count, BridgeChoice choice)
{
    std::vector<Candidate> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS)
            continue;
        const Model *model = modelOf(descriptor, choice);
        if (model == nullptr)
            continue;
        Candidate candidate;
        candidate.model = model;
        candidate.device = list[i];
        candidate.bus = libusb_get_bus_number(list[i]);
        uint8_t ports[kMaxPortDepth];
        const int depth = libusb_get_port_numbers(list[i], ports, kMaxPortDepth);
        if (depth > 0)
            candidate.ports.assign(ports, ports + depth);
        candidate.address = libusb_get_device_address(list[i]);
        candidate.release = descriptor.bcdDevice;
        found.push_back(std::move(candidate));
    }
    std::sort(found.begin(), found.end(), comesFirst);
    return found;
}

// The transfers of one exchange. Slots never move once submitted: libusb
// holds pointers to them and to their buffers until each one completes.
struct Batch;

struct Slot
{
    Batch *batch = nullptr;
    libusb_transfer *transfer = nullptr;
    std::vector<uint8_t> buffer;
    std::size_t expected = 0;
    std::size_t received = 0;
    bool mayBeShort = false; // the exchange's last IN transfer
    bool inFlight = false;
};

struct Batch
{
    explicit Batch(std::size_t size)
        : slots(size)
    {
    }
    ~Batch()
    {
        for (Slot &slot : slots)
            libusb_free_transfer(slot.transfer);
    }
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

    std::vector<Slot> slots;
    int inFlight = 0;
    int allDone = 0;
    UsbResult failure = UsbResult::Ok;
};

UsbResult slotResult(const libusb_transfer &transfer, const Slot &slot)
{
    const std::size_t actual = std::size_t(transfer.actual_length);
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        if (actual == slot.expected || (slot.mayBeShort && actual < slot.expected))
            return UsbResult::Ok;
        return (transfer.endpoint & LIBUSB_ENDPOINT_IN) ? UsbResult::ShortReply : UsbResult::Io;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return UsbResult::Timeout;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return UsbResult::NoDevice;
    default:
        return UsbResult::Io;
    }
}

void noteFailure(Batch &batch, UsbResult result)
{
    // A vanished device outranks whatever else went wrong: it ends the session.
    if (batch.failure == UsbResult::Ok || result == UsbResult::NoDevice)
        batch.failure = result;
}

void LIBUSB_CALL transferDone(libusb_transfer *transfer)
{
    Slot &slot = *static_cast<Slot *>(transfer->user_data);
    Batch &batch = *slot.batch;
    slot.inFlight = false;
    slot.received = std::size_t(std::max(transfer->actual_length, 0));
    if (transfer->status != LIBUSB_TRANSFER_CANCELLED) {
        const UsbResult result = slotResult(*transfer, slot);
        if (result != UsbResult::Ok)
            noteFailure(batch, result);
    }
    if (--batch.inFlight == 0)
        batch.allDone = 1;
}

void cancelInFlight(Batch &batch)
{
    for (Slot &slot : batch.slots) {
        if (slot.inFlight)
            libusb_cancel_transfer(slot.transfer);
    }
}

} // namespace

void LibusbLink::ContextDeleter::operator()(libusb_context *context) const
{
    libusb_exit(context);
}

void LibusbLink::HandleDeleter::operator()(libusb_device_handle *handle) const
{
    libusb_release_interface(handle, interfaceNumber);
    libusb_close(handle);
}

LibusbLink::LibusbLink(Pause pause)
    : m_pause(std::move(pause))
{
}

LibusbLink::~LibusbLink() = default;

UsbResult LibusbLink::ensureContext()
{
    if (m_context)
        return UsbResult::Ok;
    libusb_context *context = nullptr;
    const int error = libusb_init(&context);
    if (error != LIBUSB_SUCCESS)
        return fromLibusb(error);
    m_context.reset(context);
    return UsbResult::Ok;
}

UsbResult LibusbLink::open(BridgeChoice choice, OpenedBridge &opened)
{
    close();
    const UsbResult contextResult = ensureContext();
    if (contextResult != UsbResult::Ok)
        return contextResult;

    libusb_device **rawList = nullptr;
    const ssize_t count = libusb_get_device_list(m_context.get(), &rawList);
    if (count < 0)
        return fromLibusb(int(count));
    const std::unique_ptr<libusb_device *, DeviceListDeleter> list(rawList);
    const std::vector<Candidate> bridges = findBridges(list.get(), count, choice);
    if (bridges.empty())
        return choice != BridgeChoice::Ch347 && hasSerialModeBridge(list.get(), count)
                   ? UsbResult::WrongMode
                   : UsbResult::NotFound;
    const Candidate &bridge = bridges.front();

    libusb_device_handle *rawHandle = nullptr;
    int error = libusb_open(bridge.device, &rawHandle);
    if (error != LIBUSB_SUCCESS)
        return fromLibusb(error);
    Handle handle(rawHandle, HandleDeleter{bridge.model->interfaceNumber});

    // A serial or SPI kernel driver may own the SPI interface; on a CH347 the
    // serial driver keeps the others.
    error = libusb_set_auto_detach_kernel_driver(rawHandle, 1);
    if (error != LIBUSB_SUCCESS && error != LIBUSB_ERROR_NOT_SUPPORTED &&
        error != LIBUSB_ERROR_NOT_FOUND)
        return fromLibusb(error);
    // Configuration 1, the only one, is already active.
    error = libusb_claim_interface(rawHandle, bridge.model->interfaceNumber);
    if (error != LIBUSB_SUCCESS)
        return fromLibusb(error);

    opened.kind = bridge.model->kind;
    opened.name = describe(bridge);
    opened.model = bridge.model->name;
    m_kind = opened.kind;
    m_handle = std::move(handle);
    return UsbResult::Ok;
}

void LibusbLink::close()
{
    m_handle.reset();
}

void LibusbLink::drainIn()
{
    if (!m_handle)
        return;
    // A session cut short by a time-out may leave the answers of several
    // packets waiting; read until the endpoint stays quiet.
    std::vector<uint8_t> stale(limitsOf(m_kind).packetSize);
    int transferred = 0;
    for (int packet = 0; packet < kMaxStalePackets; ++packet) {
        if (libusb_bulk_transfer(m_handle.get(), inEndpoint(m_kind), stale.data(),
                                 int(stale.size()), &transferred,
                                 kDrainTimeoutMs) != LIBUSB_SUCCESS ||
            transferred == 0)
            break;
    }
}

UsbResult LibusbLink::controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                                std::size_t length, std::size_t &transferred)
{
    transferred = 0;
    if (!m_handle)
        return UsbResult::NoDevice;
    if (length > UINT16_MAX)
        return UsbResult::Io;
    const int result = libusb_control_transfer(m_handle.get(), kVendorDeviceIn, request, value,
                                               index, data, uint16_t(length), kTransferTimeoutMs);
    if (result < 0)
        return fromLibusb(result);
    transferred = std::size_t(result);
    return UsbResult::Ok;
}

UsbResult LibusbLink::exchange(const OutTransfers &out, const std::vector<std::size_t> &inLengths,
                               std::vector<uint8_t> &in)
{
    if (!m_handle)
        return UsbResult::NoDevice;
    const LinkLimits limits = limitsOf(m_kind);
    std::size_t outBytes = 0;
    for (const std::vector<uint8_t> &transfer : out) {
        if (transfer.empty() || transfer.size() > limits.maxOutTransfer)
            return UsbResult::Io;
        outBytes += transfer.size();
    }
    if (out.empty() || outBytes > limits.maxExchangeOut)
        return UsbResult::Io;

    // IN transfers first, so that every reply packet finds a waiting buffer;
    // the OUT transfers are all submitted at once and go in order.
    auto batch = std::make_unique<Batch>(inLengths.size() + out.size());
    for (std::size_t i = 0; i < batch->slots.size(); ++i) {
        Slot &slot = batch->slots[i];
        slot.batch = batch.get();
        slot.transfer = libusb_alloc_transfer(0);
        if (slot.transfer == nullptr)
            return UsbResult::Io;
        const bool isOut = i >= inLengths.size();
        if (isOut) {
            slot.buffer = out[i - inLengths.size()];
            slot.expected = slot.buffer.size();
        } else {
            // A whole packet of room, so that an over-long reply shows as such.
            slot.buffer.resize(limits.packetSize);
            slot.expected = inLengths[i];
            slot.mayBeShort = i + 1 == inLengths.size();
        }
        libusb_fill_bulk_transfer(
            slot.transfer, m_handle.get(), isOut ? outEndpoint(m_kind) : inEndpoint(m_kind),
            slot.buffer.data(), int(slot.buffer.size()), transferDone, &slot, kTransferTimeoutMs);
    }

    for (Slot &slot : batch->slots) {
        const int error = libusb_submit_transfer(slot.transfer);
        if (error != LIBUSB_SUCCESS) {
            noteFailure(*batch, fromLibusb(error));
            break;
        }
        slot.inFlight = true;
        ++batch->inFlight;
    }

    const auto deadline = Clock::now() + kExchangeTimeout;
    bool cancelling = false;
    auto cancelDeadline = deadline;
    while (batch->inFlight > 0) {
        const auto now = Clock::now();
        if (!cancelling && (batch->failure != UsbResult::Ok || now >= deadline)) {
            noteFailure(*batch, UsbResult::Timeout);
            cancelInFlight(*batch);
            cancelling = true;
            cancelDeadline = now + kCancelTimeout;
        }
        if (cancelling && now >= cancelDeadline) {
            // Transfers still owned by libusb must never be freed: abandon the
            // batch rather than let a late completion write into freed memory.
            const UsbResult failure = batch->failure;
            batch.release();
            return failure;
        }
        timeval poll{0, kEventPollUs};
        libusb_handle_events_timeout_completed(m_context.get(), &poll, &batch->allDone);
    }

    if (batch->failure != UsbResult::Ok)
        return batch->failure;
    for (std::size_t i = 0; i < inLengths.size(); ++i) {
        const Slot &slot = batch->slots[i];
        in.insert(in.end(), slot.buffer.begin(),
                  slot.buffer.begin() + std::ptrdiff_t(slot.received));
    }
    return UsbResult::Ok;
}

void LibusbLink::sleepMs(uint32_t milliseconds)
{
    if (m_pause)
        m_pause(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace ch341
