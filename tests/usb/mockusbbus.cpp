#include "mockusbbus.h"

#include <umockdev.h>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>

namespace {

constexpr unsigned kBus = 1;
// An unprivileged user id (nobody on Debian).
constexpr uid_t kOrdinaryUser = 65534;

std::string hexText(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", unsigned(byte));
        text += digits;
    }
    return text;
}

// Directories and the emulation's sockets: an ordinary user must be able to
// create and connect to them.
int openToEveryone(const char *path, const struct stat *status, int, FTW *)
{
    if (S_ISDIR(status->st_mode) || S_ISSOCK(status->st_mode))
        chmod(path, 0777);
    return 0;
}

} // namespace

MockUsbBus::MockUsbBus()
    : m_testbed(umockdev_testbed_new())
{
}

MockUsbBus::~MockUsbBus()
{
    // The testbed goes first: it stops calling the handlers it holds.
    g_object_unref(m_testbed);
}

bool MockUsbBus::preloaded()
{
    // umockdev_in_mock_environment() only turns true once a testbed exists.
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

MockCh341a &MockUsbBus::plugIn(const std::string &portPath, uint8_t address, uint16_t productId,
                               const emu::ChipModel &model)
{
    Entry entry;
    entry.device = std::make_unique<MockCh341a>(productId, model);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", kBus, unsigned(address));
    entry.devNode = node;
    entry.sysPath = "/sys/devices/usb1/" + portPath;

    // The handler must be in place before the device appears.
    umockdev_testbed_attach_ioctl(m_testbed, node, entry.device->handler(), nullptr);
    char product[8];
    std::snprintf(product, sizeof product, "%x", unsigned(productId));
    const std::string record =
        "P: /devices/usb1/" + portPath + "\n" + "N: " + entry.devNode.substr(5) + "\n" +
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\n"
        "E: BUSNUM=00" +
        std::to_string(kBus) + "\n" +
        "E: DEVNUM=" + entry.devNode.substr(entry.devNode.size() - 3) + "\n" +
        "E: DEVNAME=" + entry.devNode + "\n" + "A: busnum=" + std::to_string(kBus) + "\\n\n" +
        "A: devnum=" + std::to_string(address) + "\\n\n" + "A: idVendor=1a86\\n\n" +
        "A: idProduct=" + product + "\\n\n" +
        "A: bConfigurationValue=1\\n\n"
        "A: speed=12\\n\n"
        "H: descriptors=" +
        hexText(entry.device->descriptors()) + "\n";
    umockdev_testbed_add_from_string(m_testbed, record.c_str(), nullptr);
    m_entries.push_back(std::move(entry));
    return *m_entries.back().device;
}

const MockUsbBus::Entry &MockUsbBus::entryOf(const MockCh341a &device) const
{
    for (const Entry &entry : m_entries) {
        if (entry.device.get() == &device)
            return entry;
    }
    return m_entries.front();
}

void MockUsbBus::remove(const MockCh341a &device)
{
    const std::string &sysPath = entryOf(device).sysPath;
    // Listeners such as libusb's hotplug monitor learn of it from the uevent.
    umockdev_testbed_uevent(m_testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, sysPath.c_str());
}

void MockUsbBus::restrictDeviceNode(const MockCh341a &device)
{
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    const std::string rootDir = root;
    g_free(root);
    // Everything else stays reachable for an ordinary user, as on a real system.
    nftw(rootDir.c_str(), openToEveryone, 16, FTW_PHYS);
    chmod((rootDir + entryOf(device).devNode).c_str(), 0600);
}

UnprivilegedFileAccess::UnprivilegedFileAccess()
{
    if (geteuid() == 0) {
        setfsuid(kOrdinaryUser);
        m_changed = true;
    }
}

UnprivilegedFileAccess::~UnprivilegedFileAccess()
{
    if (m_changed)
        setfsuid(0);
}
