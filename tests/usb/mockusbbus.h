#pragma once

// A umockdev testbed with emulated CH341A devices on bus 1; needs umockdev-wrapper.

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

    // A device at a port path such as "1-2" (port 2 of the root hub).
    MockCh341a &plugIn(const std::string &portPath, uint8_t address, uint16_t productId = 0x5512,
                       const emu::ChipModel &chip = emu::w25q80dv());
    // The device leaves sysfs and /dev, as after a real unplug.
    void remove(const std::string &portPath);
    // Only root may open the device node, as without the udev rule.
    void restrictDeviceNode(uint8_t address);

private:
    UMockdevTestbed *m_testbed = nullptr;
    std::vector<std::unique_ptr<MockCh341a>> m_devices;
};
