#include "mockch341a.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ftw.h>

namespace {

constexpr uint8_t kEndpointIn = 0x80;
constexpr std::size_t kSetupLength = 8;
// The chip version the CH341A3 reports to its one control request.
constexpr uint8_t kVersion = 0x30;

usbdevfs_urb &urbOf(UMockdevIoctlData *data)
{
    return *reinterpret_cast<usbdevfs_urb *>(data->data);
}

// An ordinary user must reach the testbed's directories and sockets.
int openToEveryone(const char *path, const struct stat *status, int, FTW *)
{
    if (S_ISDIR(status->st_mode) || S_ISSOCK(status->st_mode))
        chmod(path, 0777);
    return 0;
}

} // namespace

MockCh341a::MockCh341a(const emu::ChipModel &model, ch341::BridgeKind bridge)
    : m_handler(umockdev_ioctl_base_new())
    , m_chip(model, m_clock)
    , m_bridge(bridge)
    , m_firmware(emu::makeEmulatedBridge(bridge, m_clock))
{
    if (bridge == ch341::BridgeKind::Ch347)
        m_clock.setHostProfile(emu::HostProfile::HighSpeed);
    m_firmware->attachChip(&m_chip);
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
}

void MockCh341a::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
    if (faults.staleReplyLength > 0)
        m_replies.emplace_back(std::size_t(faults.staleReplyLength), uint8_t(0x5A));
}

QByteArray MockCh341a::memory(int length) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QByteArray(reinterpret_cast<const char *>(m_chip.memory().data()), length);
}

void MockCh341a::setMemory(const QByteArray &contents)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy(contents.begin(), contents.end(), m_chip.memory().begin());
}

bool MockCh341a::isClaimed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimed;
}

int MockCh341a::claimedInterface() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimedInterface;
}

void MockCh341a::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
    m_chip.setRecording(on);
}

MockCh341a::Traffic MockCh341a::traffic() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Traffic traffic = m_traffic;
    traffic.spiBytes = m_firmware->spiBytesClocked();
    traffic.modelledNs = m_clock.nowNs();
    return traffic;
}

void MockCh341a::shareClock(std::atomic<uint64_t> *hostNs, std::atomic<uint64_t> *requests)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hostNs = hostNs;
    m_requests = requests;
}

void MockCh341a::setHostProfile(emu::HostProfile profile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.setHostProfile(profile);
}

QString MockCh341a::urbs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_urbs.join(QLatin1Char(' '));
}

int MockCh341a::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    MockCh341a &device = *static_cast<MockCh341a *>(self);
    std::lock_guard<std::mutex> lock(device.m_mutex);
    if (device.m_hostNs) {
        const uint64_t host = device.m_hostNs->load();
        if (host > device.m_clock.nowNs())
            device.m_clock.advanceNs(host - device.m_clock.nowNs());
    }
    const int error = device.handleIoctl(client, umockdev_ioctl_client_get_request(client));
    if (device.m_hostNs) {
        device.m_hostNs->store(device.m_clock.nowNs());
        device.m_requests->fetch_add(1);
    }
    if (error == ENOTTY)
        return FALSE;
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

int MockCh341a::handleIoctl(UMockdevIoctlClient *client, unsigned long request)
{
    // Reaping still works after a disconnect; everything else fails.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(client);
    if (m_unplugged)
        return ENODEV;
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
        // Both arguments begin with the interface number.
        UMockdevIoctlData *argument = umockdev_ioctl_data_resolve(
            umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned int), nullptr);
        const int number = int(*reinterpret_cast<const unsigned int *>(argument->data));
        g_object_unref(argument);
        // The kernel gives an interface to one file descriptor at a time.
        if (m_faults.claimedElsewhere || m_claimed)
            return EBUSY;
        m_claimed = true;
        m_claimedInterface = number;
        return 0;
    }
    case USBDEVFS_RELEASEINTERFACE:
        m_claimed = false;
        return 0;
    case USBDEVFS_SUBMITURB:
        return submit(client);
    case USBDEVFS_DISCARDURB:
        return discard(client);
    default:
        return ENOTTY; // left to umockdev
    }
}

int MockCh341a::submit(UMockdevIoctlClient *client)
{
    Urb urb;
    urb.data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                           sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb &raw = urbOf(urb.data);
    const std::size_t length = std::size_t(std::max(raw.buffer_length, 0));
    // The URB keeps its buffer resolved.
    g_object_unref(
        umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer), length, nullptr));
    const auto *bytes = static_cast<const uint8_t *>(raw.buffer);
    const bool control = raw.type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = raw.endpoint & kEndpointIn;
    if (m_recording)
        m_urbs.append(QChar(control ? 'C' : (in ? 'I' : 'O')) + QString::number(length));

    if (control) {
        ++m_traffic.controlUrbs;
        m_clock.advanceToExchangeStart();
        if (m_bridge != ch341::BridgeKind::Ch341a)
            return EPIPE; // no public source knows a CH347 control request
        urb.reply = {kVersion, 0x00};
        urb.reply.resize(std::min(length - kSetupLength, urb.reply.size()));
        m_done.push_back(std::move(urb));
    } else if (in) {
        ++m_traffic.inUrbs;
        m_waitingIn.push_back(std::move(urb));
        answerWaitingInUrbs();
    } else {
        submitBulkOut(std::move(urb), bytes, length);
    }
    return 0;
}

void MockCh341a::submitBulkOut(Urb urb, const uint8_t *data, std::size_t length)
{
    if (m_faults.outUrbsBeforeUnplug >= 0 && m_faults.outUrbsBeforeUnplug-- == 0) {
        m_unplugged = true;
        m_claimed = false;
        m_replies.clear();
        m_waitingIn.push_front(std::move(urb));
        for (Urb &pending : m_waitingIn) {
            pending.status = -ESHUTDOWN; // as a host controller reports a device gone
            m_done.push_back(std::move(pending));
        }
        m_waitingIn.clear();
        return;
    }
    ++m_traffic.outUrbs;
    m_traffic.outBytes += length;
    // Submitted once the host has collected every earlier transfer, it is a new exchange and
    // waits for the host's next start; behind transfers not collected yet, it follows them.
    if (m_done.empty())
        m_clock.advanceToExchangeStart();
    else
        ++m_traffic.pipelinedOutUrbs;
    for (std::vector<uint8_t> &packet : m_firmware->processOut({data, data + length})) {
        if (m_faults.replies == Replies::LastByteLost && !packet.empty())
            packet.pop_back();
        if (m_faults.replies != Replies::Never)
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
        m_waitingIn.front().reply = std::move(m_replies.front());
        m_replies.pop_front();
        m_done.push_back(std::move(m_waitingIn.front()));
        m_waitingIn.pop_front();
    }
}

int MockCh341a::reap(UMockdevIoctlClient *client)
{
    if (m_done.empty())
        return EAGAIN;
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
    return 0;
}

int MockCh341a::discard(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    const gulong address = gulong(*reinterpret_cast<void **>(argument->data));
    const auto found =
        std::find_if(m_waitingIn.begin(), m_waitingIn.end(),
                     [address](const Urb &urb) { return urb.data->client_addr == address; });
    if (found == m_waitingIn.end())
        return EINVAL;
    if (m_recording)
        m_urbs.append(QStringLiteral("D"));
    // A transfer the host side gave up on comes back cancelled.
    found->status = -ENOENT;
    m_done.push_back(std::move(*found));
    m_waitingIn.erase(found);
    return 0;
}

MockUsbBus::MockUsbBus()
    : m_testbed(umockdev_testbed_new())
{
}

MockUsbBus::~MockUsbBus()
{
    // The testbed goes first: it stops calling the handlers it holds.
    g_object_unref(m_testbed);
}

namespace {

// USB 1.10 full speed, rev 3.04, one interface: 82h bulk IN 32, 02h bulk OUT 32, 81h int IN.
std::string ch341aDescriptors(uint16_t productId)
{
    char hex[256];
    std::snprintf(hex, sizeof hex,
                  "12011001ff000208861a%02x%02x040300000001"
                  "090227000101008030"
                  "0904000003ff010200"
                  "070582022000000705020220000007058103080001",
                  unsigned(productId & 0xFF), unsigned(productId >> 8));
    return hex;
}

// USB 2.00 high speed, rev 1.00: the serial interfaces (no endpoints here) before the SPI
// interface with 06h bulk OUT 512 and 86h bulk IN 512.
std::string ch347Descriptors(uint16_t productId, int spiInterface)
{
    const unsigned interfaces = unsigned(spiInterface) + 1;
    char hex[512];
    int at = std::snprintf(hex, sizeof hex,
                           "120100020000004086 1a%02x%02x000100000001"
                           "0902%02x00%02x01008032",
                           unsigned(productId & 0xFF), unsigned(productId >> 8),
                           9 + 9 * interfaces + 14, interfaces);
    for (int number = 0; number < spiInterface; ++number)
        at += std::snprintf(hex + at, sizeof hex - size_t(at), "0904%02x0000020201 00", number);
    std::snprintf(hex + at, sizeof hex - size_t(at),
                  "0904%02x0002ff0000 00 0705060200020007058602000200", spiInterface);
    std::string compact;
    for (const char *c = hex; *c; ++c) {
        if (*c != ' ')
            compact += *c;
    }
    return compact;
}

} // namespace

MockCh341a &MockUsbBus::plugIn(const std::string &portPath, uint8_t address, uint16_t productId,
                               const emu::ChipModel &chip)
{
    const unsigned number = address;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", number);
    const bool ch347 =
        productId == ch341::kCh347tProductId || productId == ch341::kCh347fProductId;
    m_devices.push_back(std::make_unique<MockCh341a>(chip, ch347 ? ch341::BridgeKind::Ch347
                                                                 : ch341::BridgeKind::Ch341a));
    // The handler must be in place before the device appears.
    umockdev_testbed_attach_ioctl(m_testbed, node, m_devices.back()->handler(), nullptr);

    const std::string descriptors =
        !ch347 ? ch341aDescriptors(productId)
               : ch347Descriptors(productId, productId == ch341::kCh347tProductId
                                                 ? ch341::kCh347tSpiInterface
                                                 : ch341::kCh347fSpiInterface);
    char record[2048];
    std::snprintf(record, sizeof record,
                  "P: /devices/usb1/%s\nN: bus/usb/001/%03u\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n"
                  "E: DEVNUM=%03u\nE: DEVNAME=%s\nA: busnum=1\\n\nA: devnum=%u\\n\n"
                  "A: idVendor=1a86\\n\nA: idProduct=%x\\n\nA: bConfigurationValue=1\\n\n"
                  "A: speed=%s\\n\nH: descriptors=%s\n",
                  portPath.c_str(), number, number, node, number, unsigned(productId),
                  ch347 ? "480" : "12", descriptors.c_str());
    umockdev_testbed_add_from_string(m_testbed, record, nullptr);
    return *m_devices.back();
}

void MockUsbBus::remove(const std::string &portPath)
{
    const std::string sysPath = "/sys/devices/usb1/" + portPath;
    // Listeners such as libusb's hotplug monitor learn of it from the uevent.
    umockdev_testbed_uevent(m_testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, sysPath.c_str());
}

void MockUsbBus::restrictDeviceNode(uint8_t address)
{
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    char node[300];
    std::snprintf(node, sizeof node, "%s/dev/bus/usb/001/%03u", root, unsigned(address));
    // Everything else stays reachable for an ordinary user, as on a real system.
    nftw(root, openToEveryone, 16, FTW_PHYS);
    chmod(node, 0600);
    g_free(root);
}
