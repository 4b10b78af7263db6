#include "mockch341a.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kEndpointIn = 0x80;
constexpr std::size_t kSetupLength = 8;
constexpr uint8_t kVendorDeviceIn = 0xC0;
constexpr uint8_t kRequestVersion = 0x5F;

constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// A transfer the host side gave up on comes back with this status.
constexpr int kCancelled = -ENOENT;
// What a host controller reports for transfers of a device that went away.
constexpr int kDisconnected = -ESHUTDOWN;

UMockdevIoctlData *resolveUrb(UMockdevIoctlData *argument)
{
    return umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
}

usbdevfs_urb &urbOf(UMockdevIoctlData *data)
{
    return *reinterpret_cast<usbdevfs_urb *>(data->data);
}

} // namespace

MockCh341a::MockCh341a(uint16_t productId, const emu::ChipModel &model)
    : m_handler(umockdev_ioctl_base_new())
    , m_productId(productId)
    , m_chip(model, m_clock)
    , m_firmware(m_clock)
{
    m_firmware.attachChip(&m_chip);
    m_chip.setRecording(true);
    // After the class handler, which declines every request.
    g_signal_connect_after(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
}

MockCh341a::~MockCh341a()
{
    g_signal_handlers_disconnect_by_data(m_handler, this);
    for (std::deque<Urb> *urbs : {&m_waitingIn, &m_done}) {
        for (Urb &urb : *urbs)
            g_object_unref(urb.data);
    }
    g_object_unref(m_handler);
    m_firmware.attachChip(nullptr);
}

std::vector<uint8_t> MockCh341a::descriptors() const
{
    const uint8_t productLow = uint8_t(m_productId & 0xFF);
    const uint8_t productHigh = uint8_t(m_productId >> 8);
    return {// Device: USB 1.10, class FFh protocol 2, EP0 8 bytes, 1a86:pppp,
            // bcdDevice 3.04, no strings, one configuration.
            0x12, 0x01, 0x10, 0x01, 0xFF, 0x00, 0x02, 0x08, 0x86, 0x1A, productLow, productHigh,
            0x04, 0x03, 0x00, 0x00, 0x00, 0x01,
            // Configuration 1: 39 bytes in all, one interface, bus powered, 96 mA.
            0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x00, 0x80, 0x30,
            // Interface 0, alternate 0, three endpoints, class FFh/01h/02h.
            0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x01, 0x02, 0x00,
            // 82h bulk IN 32 bytes; 02h bulk OUT 32 bytes; 81h interrupt IN 8 bytes, every frame.
            0x07, 0x05, 0x82, 0x02, 0x20, 0x00, 0x00, //
            0x07, 0x05, 0x02, 0x02, 0x20, 0x00, 0x00, //
            0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x01};
}

void MockCh341a::setClaimedElsewhere(bool claimed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claimedElsewhere = claimed;
}

void MockCh341a::setSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = silent;
}

void MockCh341a::setShortReplies(bool shortReplies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shortReplies = shortReplies;
}

void MockCh341a::unplugAfterOutUrbs(int n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outUrbsLeft = n;
}

bool MockCh341a::isUnplugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unplugged;
}

void MockCh341a::setStallControl(bool stall)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stallControl = stall;
}

void MockCh341a::addStaleReply(std::vector<uint8_t> packet)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(std::move(packet));
}

void MockCh341a::setVersion(uint8_t version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = version;
}

void MockCh341a::advanceMs(uint32_t milliseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.advanceNs(uint64_t{milliseconds} * emu::VirtualClock::kNsPerMs);
}

std::vector<uint8_t> MockCh341a::memory() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chip.memory();
}

void MockCh341a::setMemory(const std::vector<uint8_t> &contents)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> &memory = m_chip.memory();
    std::copy_n(contents.begin(), std::min(contents.size(), memory.size()), memory.begin());
}

std::vector<std::vector<uint8_t>> MockCh341a::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chip.frames();
}

uint8_t MockCh341a::pinDirections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmware.pinDirections();
}

MockCh341a::Counters MockCh341a::counters() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

bool MockCh341a::isClaimed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimed;
}

int MockCh341a::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    MockCh341a &device = *static_cast<MockCh341a *>(self);
    std::lock_guard<std::mutex> lock(device.m_mutex);
    return device.handleIoctl(client) ? TRUE : FALSE;
}

bool MockCh341a::handleIoctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    // Reaping still works after a disconnect; everything else fails.
    const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (m_unplugged && !reaping) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps =
            umockdev_ioctl_data_resolve(argument, 0, sizeof(uint32_t), nullptr);
        std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        ++m_counters.claims;
        if (m_claimedElsewhere) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return true;
        }
        m_claimed = true;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        ++m_counters.releases;
        m_claimed = false;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_IOCTL:
        // Re-attaching a kernel driver: there is none for this interface.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_SUBMITURB:
        submit(client);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(client);
        return true;
    default:
        m_counters.unknownRequests.push_back(request);
        return false;
    }
}

void MockCh341a::submit(UMockdevIoctlClient *client)
{
    Urb urb;
    urb.data = resolveUrb(umockdev_ioctl_client_get_arg(client));
    usbdevfs_urb &raw = urbOf(urb.data);
    UMockdevIoctlData *buffer =
        umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer),
                                    std::size_t(std::max(raw.buffer_length, 0)), nullptr);
    const auto *bytes = static_cast<const uint8_t *>(raw.buffer);
    const std::size_t length = std::size_t(raw.buffer_length);
    g_object_unref(buffer); // the URB keeps its buffer resolved
    umockdev_ioctl_client_complete(client, 0, 0);

    const bool in = raw.endpoint & kEndpointIn;
    const char kind = raw.type == USBDEVFS_URB_TYPE_CONTROL ? 'C' : (in ? 'I' : 'O');
    m_counters.submissions.push_back(kind + std::to_string(length));

    if (raw.type == USBDEVFS_URB_TYPE_CONTROL) {
        submitControl(std::move(urb), bytes, length);
    } else if (in) {
        ++m_counters.inUrbs;
        m_waitingIn.push_back(std::move(urb));
        answerWaitingInUrbs();
    } else if (raw.endpoint == kBulkOut) {
        submitBulkOut(std::move(urb), bytes, length);
    } else {
        urb.status = -EPIPE;
        m_done.push_back(std::move(urb));
    }
}

void MockCh341a::submitControl(Urb urb, const uint8_t *setup, std::size_t length)
{
    ++m_counters.controlUrbs;
    m_clock.advanceToNextFrame();
    // The chip version request; any other request stalls.
    if (!m_stallControl && length >= kSetupLength && setup[0] == kVendorDeviceIn &&
        setup[1] == kRequestVersion) {
        const std::size_t asked = length - kSetupLength;
        urb.reply = {m_version, 0x00};
        urb.reply.resize(std::min(asked, urb.reply.size()));
    } else {
        urb.status = -EPIPE;
    }
    m_done.push_back(std::move(urb));
}

void MockCh341a::submitBulkOut(Urb urb, const uint8_t *data, std::size_t length)
{
    ++m_counters.outUrbs;
    if (m_outUrbsLeft && (*m_outUrbsLeft)-- == 0) {
        urb.status = kDisconnected;
        m_done.push_back(std::move(urb));
        pullOut();
        return;
    }
    m_clock.advanceToNextFrame();
    for (std::vector<uint8_t> &packet : m_firmware.processOut({data, data + length})) {
        if (m_shortReplies && !packet.empty())
            packet.pop_back();
        if (!m_silent)
            m_replies.push_back(std::move(packet));
    }
    urbOf(urb.data).actual_length = int(length);
    m_done.push_back(std::move(urb));
    answerWaitingInUrbs();
}

void MockCh341a::answerWaitingInUrbs()
{
    // Each reply is shorter than a packet, so it ends the IN transfer it lands in.
    while (!m_replies.empty() && !m_waitingIn.empty()) {
        Urb urb = std::move(m_waitingIn.front());
        m_waitingIn.pop_front();
        urb.reply = std::move(m_replies.front());
        m_replies.pop_front();
        const std::size_t room = std::size_t(urbOf(urb.data).buffer_length);
        if (urb.reply.size() > room) {
            urb.reply.resize(room);
            urb.status = -EOVERFLOW;
        }
        m_done.push_back(std::move(urb));
    }
}

void MockCh341a::pullOut()
{
    m_unplugged = true;
    m_claimed = false;
    m_replies.clear();
    for (Urb &urb : m_waitingIn) {
        urb.status = kDisconnected;
        m_done.push_back(std::move(urb));
    }
    m_waitingIn.clear();
}

void MockCh341a::reap(UMockdevIoctlClient *client)
{
    if (m_done.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb urb = std::move(m_done.front());
    m_done.pop_front();
    usbdevfs_urb &raw = urbOf(urb.data);
    const bool control = raw.type == USBDEVFS_URB_TYPE_CONTROL;
    if (control || (raw.endpoint & kEndpointIn)) {
        auto *buffer = static_cast<uint8_t *>(raw.buffer) + (control ? kSetupLength : 0);
        std::copy(urb.reply.begin(), urb.reply.end(), buffer);
        raw.actual_length = int(urb.reply.size());
    }
    raw.status = urb.status;

    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(void *), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
    g_object_unref(slot);
    g_object_unref(urb.data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void MockCh341a::discard(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    const gulong address = gulong(*reinterpret_cast<void **>(argument->data));
    const auto found =
        std::find_if(m_waitingIn.begin(), m_waitingIn.end(),
                     [address](const Urb &urb) { return urb.data->client_addr == address; });
    if (found == m_waitingIn.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    ++m_counters.discardedUrbs;
    Urb urb = std::move(*found);
    m_waitingIn.erase(found);
    urb.status = kCancelled;
    m_done.push_back(std::move(urb));
    umockdev_ioctl_client_complete(client, 0, 0);
}
