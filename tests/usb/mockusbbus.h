#pragma once

// MockUsbBus is a umockdev testbed holding emulated USB devices: sysfs
// entries with their descriptors, and device nodes answered by MockCh341a.
// The process must run under umockdev-wrapper.

#include "mockch341a.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

class MockUsbBus
{
public:
    MockUsbBus();
    ~MockUsbBus();
    MockUsbBus(const MockUsbBus &) = delete;
    MockUsbBus &operator=(const MockUsbBus &) = delete;

    // Whether umockdev-wrapper preloaded the mocking library.
    static bool preloaded();

    // A device on bus 1 named after its port path, e.g. "1-2" (port 2 of the
    // root hub), with the given device number.
    MockCh341a &plugIn(const std::string &portPath, uint8_t address, uint16_t productId = 0x5512,
                       const emu::ChipModel &model = emu::w25q80dv());
    // The device leaves sysfs and /dev, as after a real unplug.
    void remove(const MockCh341a &device);
    // The device node only root may open, as without the udev rule.
    void restrictDeviceNode(const MockCh341a &device);

private:
    struct Entry
    {
        std::unique_ptr<MockCh341a> device;
        std::string sysPath;
        std::string devNode;
    };
    const Entry &entryOf(const MockCh341a &device) const;

    UMockdevTestbed *m_testbed = nullptr;
    std::vector<Entry> m_entries;
};

// While it lives, files are opened with an ordinary user's rights on this
// thread, so that a root-only device node refuses the open even when the tests
// run as root.
class UnprivilegedFileAccess
{
public:
    UnprivilegedFileAccess();
    ~UnprivilegedFileAccess();
    UnprivilegedFileAccess(const UnprivilegedFileAccess &) = delete;
    UnprivilegedFileAccess &operator=(const UnprivilegedFileAccess &) = delete;

private:
    bool m_changed = false;
};
