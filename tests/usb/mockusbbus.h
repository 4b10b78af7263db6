#pragma once

// MockUsbBus is a umockdev testbed holding emulated USB devices on bus 1:
// sysfs entries with a CH341A's descriptors, and device nodes answered by
// MockCh341a. The process must run under umockdev-wrapper.

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

    // A device named after its port path, e.g. "1-2" (port 2 of the root
    // hub), with the given device number.
    MockCh341a &plugIn(const std::string &portPath, uint8_t address, uint16_t productId = 0x5512);
    // The device leaves sysfs and /dev, as after a real unplug.
    void remove(const std::string &portPath);
    // Only root may open the device node, as without the udev rule.
    void restrictDeviceNode(uint8_t address);

private:
    UMockdevTestbed *m_testbed = nullptr;
    std::vector<std::unique_ptr<MockCh341a>> m_devices;
};
