#pragma once

// MockCh341a answers the usbfs requests libusb sends to one emulated USB
// device: claim and release, control transfers and bulk URBs submitted,
// reaped and discarded. A 1a86:5512 device runs the emulated CH341A firmware
// with a flash chip in its socket. The handler runs on umockdev's thread, the
// test on its own, so every public call locks.

#include "emulator/chipmodel.h"
#include "emulator/emulatedch341.h"
#include "emulator/spiflashchip.h"
#include "emulator/virtualclock.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

class MockCh341a
{
public:
    struct Counters
    {
        int outUrbs = 0;
        int inUrbs = 0;
        int controlUrbs = 0;
        int discardedUrbs = 0;
        int claims = 0;
        int releases = 0;
        std::vector<unsigned long> unknownRequests;
        // Every URB as submitted: "O<length>" bulk OUT, "I<length>" bulk IN,
        // "C<length>" control, in order.
        std::vector<std::string> submissions;
    };

    MockCh341a(uint16_t productId, const emu::ChipModel &model);
    ~MockCh341a();
    MockCh341a(const MockCh341a &) = delete;
    MockCh341a &operator=(const MockCh341a &) = delete;

    // The handler to attach to the device node.
    UMockdevIoctlBase *handler() const { return m_handler; }

    // The device descriptor followed by the whole configuration, as sysfs
    // shows it in "descriptors".
    std::vector<uint8_t> descriptors() const;

    // Faults.
    // Another driver or process has claimed interface 0.
    void setClaimedElsewhere(bool claimed);
    // The firmware never answers: IN transfers wait until they time out.
    void setSilent(bool silent);
    // Every reply packet loses its last byte.
    void setShortReplies(bool shortReplies);
    // After n more bulk OUT URBs the device is pulled out: the next OUT URB
    // and every IN URB in flight end with ESHUTDOWN, later requests fail.
    void unplugAfterOutUrbs(int n);
    bool isUnplugged() const;
    // Control requests stall.
    void setStallControl(bool stall);
    // A reply an aborted session left waiting in the IN endpoint.
    void addStaleReply(std::vector<uint8_t> packet);

    void setVersion(uint8_t version);
    // Host time passing between transfers (busy times run on it).
    void advanceMs(uint32_t milliseconds);

    std::vector<uint8_t> memory() const;
    void setMemory(const std::vector<uint8_t> &contents);
    std::vector<std::vector<uint8_t>> frames() const;
    uint8_t pinDirections() const;
    Counters counters() const;
    bool isClaimed() const;

private:
    // A URB libusb handed over and has not reaped yet.
    struct Urb
    {
        UMockdevIoctlData *data = nullptr; // the resolved usbdevfs_urb, one reference
        std::vector<uint8_t> reply;        // bytes for the device-to-host stage
        int status = 0;
    };

    static int onIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    bool handleIoctl(UMockdevIoctlClient *client);
    void submit(UMockdevIoctlClient *client);
    void submitControl(Urb urb, const uint8_t *setup, std::size_t length);
    void submitBulkOut(Urb urb, const uint8_t *data, std::size_t length);
    void reap(UMockdevIoctlClient *client);
    void discard(UMockdevIoctlClient *client);
    void answerWaitingInUrbs();
    void pullOut();

    mutable std::mutex m_mutex;
    UMockdevIoctlBase *m_handler = nullptr;
    uint16_t m_productId;
    emu::VirtualClock m_clock;
    emu::SpiFlashChip m_chip;
    emu::EmulatedCh341 m_firmware;
    std::deque<std::vector<uint8_t>> m_replies; // IN packets the firmware produced
    std::deque<Urb> m_waitingIn;                // IN URBs without a packet yet
    std::deque<Urb> m_done;                     // ready to reap, in completion order
    Counters m_counters;
    uint8_t m_version = 0x30;
    bool m_claimedElsewhere = false;
    bool m_claimed = false;
    bool m_silent = false;
    bool m_shortReplies = false;
    bool m_unplugged = false;
    bool m_stallControl = false;
    std::optional<int> m_outUrbsLeft;
};
