#include "emulatedlink.h"

#include "imagefile.h"

#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace emu {

using ch341::UsbResult;

namespace {

const char *deviceName(ch341::BridgeKind bridge)
{
    return bridge == ch341::BridgeKind::Ch347 ? "CH347T 1a86:55db (emulated)"
                                              : "CH341A 1a86:5512 (emulated)";
}

bool isChosen(ch341::BridgeChoice choice, ch341::BridgeKind bridge)
{
    return choice == ch341::BridgeChoice::Any ||
           (choice == ch341::BridgeChoice::Ch347) == (bridge == ch341::BridgeKind::Ch347);
}

} // namespace

EmulatedLink::EmulatedLink(const ChipModel &model, ch341::BridgeKind bridge)
    : m_chip(model, m_clock)
    , m_bridge(bridge)
    , m_firmware(makeEmulatedBridge(bridge, m_clock))
{
    if (bridge == ch341::BridgeKind::Ch347) {
        m_clock.setHostProfile(HostProfile::HighSpeed);
    }
    if (model.bus == SocketBus::I2c) {
        m_i2cEeprom = std::make_unique<I2cEeprom>(model, m_clock);
    } else if (model.bus == SocketBus::Microwire) {
        m_microwireEeprom = std::make_unique<MicrowireEeprom>(model, m_clock);
    } else if (model.spiEepromAddressBytes > 0) {
        m_eeprom = std::make_unique<SpiEeprom>(spiEepromModelOf(model), m_clock);
    }
    attachParts(true);
}

EmulatedLink::~EmulatedLink()
{
    releaseImage();
    attachParts(false);
}

void EmulatedLink::attachParts(bool present)
{
    const bool spi = present && !m_i2cEeprom && !m_microwireEeprom;
    m_firmware->attachChip(spi ? &device() : nullptr);
    m_firmware->attachI2c(present ? m_i2cEeprom.get() : nullptr);
    m_firmware->attachMicrowire(present ? m_microwireEeprom.get() : nullptr);
}

std::vector<uint8_t> &EmulatedLink::socketMemory()
{
    if (m_i2cEeprom) {
        return m_i2cEeprom->memory();
    }
    return m_microwireEeprom ? m_microwireEeprom->memory() : device().memory();
}

bool EmulatedLink::claimImage()
{
    if (m_imagePath.empty() || m_holdsImage) {
        return true;
    }
    // The image itself is replaced by a rename at each save, so the lock lives in a file of its
    // own. Without one (a folder that cannot take it) the chip is not kept anyway.
    m_lockFd = ::open((m_imagePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd >= 0 && ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
        return false;
    }
    // What another process wrote to the chip since this one loaded it.
    loadImageFile(m_imagePath, socketMemory());
    m_holdsImage = true;
    return true;
}

void EmulatedLink::releaseImage()
{
    if (!m_holdsImage) {
        return;
    }
    saveImageFile(m_imagePath, socketMemory());
    m_holdsImage = false;
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

UsbResult EmulatedLink::open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened)
{
    if (!m_present || !isChosen(choice, m_bridge)) {
        return UsbResult::NotFound;
    }
    if (!claimImage()) {
        return UsbResult::Busy;
    }
    m_open = true;
    m_handleDead = false;
    opened.kind = m_bridge;
    opened.name = deviceName(m_bridge);
    opened.model = !m_bridgeModel.empty()                 ? m_bridgeModel
                   : m_bridge == ch341::BridgeKind::Ch347 ? "CH347T"
                                                          : "CH341A";
    return UsbResult::Ok;
}

void EmulatedLink::close()
{
    m_open = false;
    m_handleDead = false;
    releaseImage();
}

void EmulatedLink::drainIn()
{
    if (m_open && m_present && !m_handleDead) {
        m_inFifo.clear();
    }
}

void EmulatedLink::failTransferAfter(uint64_t n, TransferFault fault)
{
    m_transfersLeft = n;
    m_fault = fault;
}

std::optional<EmulatedLink::TransferFault> EmulatedLink::consumeTransfer()
{
    if (!m_transfersLeft) {
        return std::nullopt;
    }
    if (*m_transfersLeft > 0) {
        --*m_transfersLeft;
        return std::nullopt;
    }
    m_transfersLeft.reset();
    if (m_fault == TransferFault::Unplug) {
        setPresent(false);
    }
    return m_fault;
}

UsbResult EmulatedLink::strike(UsbResult result)
{
    if (result == UsbResult::Timeout) {
        m_clock.advanceNs(kInTimeoutNs);
    }
    if (m_faultObserver) {
        m_faultObserver();
    }
    return result;
}

UsbResult EmulatedLink::controlIn(uint8_t request, uint16_t, uint16_t, uint8_t *data,
                                  std::size_t length, std::size_t &transferred)
{
    transferred = 0;
    if (!m_present || m_handleDead) {
        return UsbResult::NoDevice;
    }
    // The CH347 answers no control request that any public source knows.
    if (!m_open || m_bridge != ch341::BridgeKind::Ch341a || request != kRequestVersion ||
        (length > 0 && !data)) {
        return UsbResult::Io;
    }
    if (const auto fault = consumeTransfer()) {
        return strike(*fault == TransferFault::Unplug  ? UsbResult::NoDevice
                      : *fault == TransferFault::Stall ? UsbResult::Io
                                                       : UsbResult::Timeout);
    }
    ++m_counters.controlTransfers;
    m_clock.advanceToExchangeStart();
    const uint8_t answer[] = {m_version, 0x00};
    transferred = std::min(length, sizeof answer);
    std::copy_n(answer, transferred, data);
    return UsbResult::Ok;
}

UsbResult EmulatedLink::exchange(const ch341::OutTransfers &out,
                                 const std::vector<std::size_t> &inLengths,
                                 std::vector<uint8_t> &in)
{
    if (!m_present || m_handleDead) {
        return UsbResult::NoDevice;
    }
    const ch341::LinkLimits limits = ch341::limitsOf(m_bridge);
    std::size_t outBytes = 0;
    bool tooLong = false;
    for (const std::vector<uint8_t> &transfer : out) {
        outBytes += transfer.size();
        tooLong = tooLong || transfer.size() > limits.maxOutTransfer;
    }
    if (!m_open || tooLong || outBytes > limits.maxExchangeOut) {
        return UsbResult::Io;
    }
    std::optional<TransferFault> fault = consumeTransfer();
    if (m_timeOutNext) {
        m_timeOutNext = false;
        fault = TransferFault::OutTimeout;
    }
    // A fault on an IN transfer needs one; without, it hits the OUT transfer.
    if (fault && inLengths.empty() &&
        (*fault == TransferFault::InTimeout || *fault == TransferFault::ShortIn)) {
        fault = TransferFault::OutTimeout;
    }
    if (fault && *fault == TransferFault::Unplug) {
        return strike(UsbResult::NoDevice);
    }
    if (fault && (*fault == TransferFault::OutTimeout || *fault == TransferFault::Stall)) {
        return strike(*fault == TransferFault::Stall ? UsbResult::Io : UsbResult::Timeout);
    }
    ++m_counters.exchanges;
    m_counters.inTransfers += inLengths.size();
    m_counters.bytesOut += outBytes;

    // The OUT transfers of one exchange are queued together: the host
    // controller sends them back to back, from the next frame on.
    m_clock.advanceToExchangeStart();
    const uint64_t spiBytesBefore = m_firmware->spiBytesClocked();
    for (const std::vector<uint8_t> &transfer : out) {
        m_counters.outTransfers += transfer.empty() ? 0 : 1;
        m_counters.packets += (transfer.size() + limits.packetSize - 1) / limits.packetSize;
        if (m_recordingOut) {
            m_receivedOut.push_back(transfer);
        }
        for (auto &reply : m_firmware->processOut(transfer)) {
            m_inFifo.push_back(std::move(reply));
        }
    }
    m_counters.spiBytes += m_firmware->spiBytesClocked() - spiBytesBefore;
    if (fault && *fault == TransferFault::InTimeout) {
        // The answers stay in the IN endpoint for whoever reads it next.
        return strike(UsbResult::Timeout);
    }
    for (std::size_t i = 0; i < inLengths.size(); ++i) {
        if (m_inFifo.empty()) {
            m_clock.advanceNs(kInTimeoutNs);
            return UsbResult::Timeout;
        }
        std::vector<uint8_t> packet = std::move(m_inFifo.front());
        m_inFifo.pop_front();
        if (fault && *fault == TransferFault::ShortIn) {
            packet.pop_back();
            in.insert(in.end(), packet.begin(), packet.end());
            return strike(UsbResult::ShortReply);
        }
        const std::size_t length = inLengths[i];
        in.insert(in.end(), packet.begin(), packet.begin() + std::min(length, packet.size()));
        // Only the exchange's last IN transfer may bring fewer bytes than asked.
        const bool last = i + 1 == inLengths.size();
        if (packet.size() > length || (packet.size() < length && !last)) {
            return UsbResult::ShortReply;
        }
    }
    return UsbResult::Ok;
}

void EmulatedLink::sleepMs(uint32_t milliseconds)
{
    const uint64_t pauseNs = uint64_t{milliseconds} * VirtualClock::kNsPerMs;
    m_counters.sleepNs += pauseNs;
    m_clock.advanceNs(pauseNs);
}

void EmulatedLink::replug()
{
    m_transfersLeft.reset();
    m_inFifo.clear();
    m_firmware->reset();
    device().powerCycle();
    if (m_i2cEeprom) {
        m_i2cEeprom->powerCycle();
    }
    if (m_microwireEeprom) {
        m_microwireEeprom->powerCycle();
    }
    m_handleDead = m_open;
    m_present = true;
}

void EmulatedLink::setPresent(bool present)
{
    m_present = present;
    if (!present) {
        m_handleDead = m_open;
    }
}

void EmulatedLink::setNoChip(bool noChip)
{
    m_noChip = noChip;
    attachParts(!noChip);
}

void EmulatedLink::insertSpiEeprom(const SpiEepromModel &model)
{
    m_eeprom = std::make_unique<SpiEeprom>(model, m_clock);
    attachParts(!m_noChip);
}

SpiDevice &EmulatedLink::device()
{
    if (m_eeprom)
        return *m_eeprom;
    return m_chip;
}

void EmulatedLink::setStaleIn(std::vector<uint8_t> packet)
{
    m_inFifo.push_back(std::move(packet));
}

void EmulatedLink::setImagePath(std::string path)
{
    m_imagePath = std::move(path);
    loadImageFile(m_imagePath, socketMemory());
}

} // namespace emu
