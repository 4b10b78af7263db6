#pragma once

// Emulated CH341A and CH347 devices on a umockdev testbed (bus 1); needs umockdev-wrapper.

#include "bridge/usblink.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedbridge.h"
#include "emulator/spiflashchip.h"
#include "emulator/virtualclock.h"

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevTestbed UMockdevTestbed;

// Answers libusb's usbfs requests for one CH341A, or a CH347 by its product id, with a flash
// chip (a W25Q80DV unless told) in its socket. The handler runs on umockdev's thread, so every
// public call locks.

class MockCh341a
{
public:
    enum class Replies { Whole, LastByteLost, Never };
    struct Faults
    {
        bool claimedElsewhere = false; // another driver or process holds the SPI interface
        Replies replies = Replies::Whole;
        int outUrbsBeforeUnplug = -1; // then the device is pulled out mid-transfer
        int staleReplyLength = 0;     // bytes an aborted session left in the IN endpoint
    };

    explicit MockCh341a(const emu::ChipModel &model = emu::w25q80dv(),
                        ch341::BridgeKind bridge = ch341::BridgeKind::Ch341a);
    ~MockCh341a();

    UMockdevIoctlBase *handler() const { return m_handler; }
    void setFaults(const Faults &faults);

    // What the host asked of the bus, timed on the benchmarks' USB model.
    struct Traffic
    {
        uint64_t outUrbs = 0;
        uint64_t inUrbs = 0;
        uint64_t controlUrbs = 0;
        uint64_t outBytes = 0;
        uint64_t pipelinedOutUrbs = 0; // submitted before earlier transfers were collected
        uint64_t spiBytes = 0;
        uint64_t modelledNs = 0;
    };

    QByteArray memory(int length) const;
    void setMemory(const QByteArray &contents);
    bool isClaimed() const;
    // The interface claimed last, -1 for none.
    int claimedInterface() const;
    // Every URB in order: "I<length>" bulk IN, "O<length>" OUT, "C<length>" control, "D" discard.
    QString urbs() const;
    // Off: neither the URBs nor the chip's command frames are kept (long benchmark runs).
    void setRecording(bool on);
    void setHostProfile(emu::HostProfile profile);
    Traffic traffic() const;
    // Keeps the virtual clock in step with a host's: before each request it moves on to
    // hostNs, after it hostNs takes the clock's time and requests counts one more.
    void shareClock(std::atomic<uint64_t> *hostNs, std::atomic<uint64_t> *requests);

private:
    struct Urb
    {
        UMockdevIoctlData *data = nullptr; // the resolved usbdevfs_urb, one reference
        std::vector<uint8_t> reply;
        int status = 0;
    };

    static int onIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    // Each returns the errno the request fails with, 0 on success.
    int handleIoctl(UMockdevIoctlClient *client, unsigned long request);
    int submit(UMockdevIoctlClient *client);
    void submitBulkOut(Urb urb, const uint8_t *data, std::size_t length);
    void answerWaitingInUrbs();
    int reap(UMockdevIoctlClient *client);
    int discard(UMockdevIoctlClient *client);

    mutable std::mutex m_mutex;
    UMockdevIoctlBase *m_handler = nullptr;
    emu::VirtualClock m_clock;
    emu::SpiFlashChip m_chip;
    ch341::BridgeKind m_bridge;
    std::unique_ptr<emu::EmulatedBridge> m_firmware;
    std::deque<std::vector<uint8_t>> m_replies; // IN packets the firmware produced
    std::deque<Urb> m_waitingIn;                // IN URBs without a packet yet
    std::deque<Urb> m_done;                     // ready to reap, in completion order
    QStringList m_urbs;
    Traffic m_traffic;
    bool m_recording = true;
    std::atomic<uint64_t> *m_hostNs = nullptr;
    std::atomic<uint64_t> *m_requests = nullptr;
    Faults m_faults;
    bool m_claimed = false;
    int m_claimedInterface = -1;
    bool m_unplugged = false;
};

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
