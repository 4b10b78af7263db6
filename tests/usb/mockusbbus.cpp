#include "mockusbbus.h"

#include <umockdev.h>

#include <sys/stat.h>

#include <cstdio>
#include <ftw.h>

namespace {

// An ordinary user must reach the testbed's directories and sockets.
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

MockCh341a &MockUsbBus::plugIn(const std::string &portPath, uint8_t address, uint16_t productId,
                               const emu::ChipModel &chip)
{
    const unsigned number = address;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", number);
    m_devices.push_back(std::make_unique<MockCh341a>(chip));
    // The handler must be in place before the device appears.
    umockdev_testbed_attach_ioctl(m_testbed, node, m_devices.back()->handler(), nullptr);

    // USB 1.10, 1a86:pppp rev 3.04, one interface: 82h bulk IN 32, 02h bulk OUT 32, 81h int IN.
    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: /devices/usb1/%s\nN: bus/usb/001/%03u\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n"
                  "E: DEVNUM=%03u\nE: DEVNAME=%s\nA: busnum=1\\n\nA: devnum=%u\\n\n"
                  "A: idVendor=1a86\\n\nA: idProduct=%x\\n\nA: bConfigurationValue=1\\n\n"
                  "A: speed=12\\n\nH: descriptors=12011001ff000208861a%02x%02x040300000001"
                  "090227000101008030"
                  "0904000003ff010200"
                  "070582022000000705020220000007058103080001\n",
                  portPath.c_str(), number, number, node, number, unsigned(productId),
                  unsigned(productId & 0xFF), unsigned(productId >> 8));
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
