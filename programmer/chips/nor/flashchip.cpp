#include "programmer/chips/nor/flashchip.h"

#include "programmer/chips/chipprogress.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"
#include "programmer/transport/tracecategory.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

namespace {
struct OpcodeTwin
{
    uint8_t threeByte;
    uint8_t fourByte;
};

constexpr OpcodeTwin kFourByteTwins[] = {{SpiOpcode::READ, SpiOpcode::READ4B},
                                         {SpiOpcode::PP, SpiOpcode::PP4B},
                                         {SpiOpcode::SE, SpiOpcode::SE4B},
                                         {SpiOpcode::BE, SpiOpcode::BE4B}};

bool HasFourByteMode(const ChipFamily *family)
{
    return !family || (family->fourByteMode & FourByteMode::FourByteOpcodes) == 0;
}

bool NeedsWriteEnable(const ChipFamily *family)
{
    return family && (family->fourByteMode & FourByteMode::EnterExitWithWriteEnable) != 0;
}

// Datasheet maxima for a chip erase run from about 100 s (8 MiB) to a few hundred seconds for
// the largest parts: allow 25 s per MiB, never less than 200 s.
qint64 ChipEraseBudgetMs(uint32_t chipSize)
{
    constexpr qint64 kMinimumMs = 200 * 1000;
    constexpr qint64 kPerMiBMs = 25 * 1000;
    return qMax(kMinimumMs, kPerMiBMs * qint64(chipSize) / (1 << 20));
}
} // namespace

FlashChip::FlashChip(SpiTransport &bus)
    : m_bus(bus)
{
}

bool FlashChip::failed() const
{
    return m_bus.failed();
}

void FlashChip::identifyAs(const QList<ChipRecord> &rows)
{
    m_rows = rows;
    settle();
}

void FlashChip::identifyBySfdp(uint32_t size)
{
    // The standard commands and 256-byte pages suit every part that has SFDP.
    m_rows.clear();
    m_size = size;
    m_series.clear();
    m_page = QStringLiteral("256");
    settle();
}

void FlashChip::settle()
{
    const int requirements = m_sfdp ? m_sfdp->quadEnableRequirements : -1;
    if (m_rows.isEmpty()) {
        m_settled = SettledChip{DefaultFamily(), m_page};
        ApplyQuadEnableRequirements(m_settled.family, requirements);
    } else {
        m_settled = SettleParts(m_rows, requirements);
        m_size = static_cast<uint32_t>(m_rows.first().size);
        m_page = m_settled.page;
        m_series.clear();
        for (const ChipRecord &row : m_rows) {
            if (!row.spicmd.isEmpty())
                m_series = row.spicmd;
        }
    }
    m_family = &m_settled.family;
}

bool FlashChip::partsDisagree() const
{
    return std::any_of(m_rows.cbegin(), m_rows.cend(), [this](const ChipRecord &row) {
        return &FamilyOfRow(row) != &FamilyOfRow(m_rows.first());
    });
}

const SfdpFacts &FlashChip::sfdp()
{
    if (!m_sfdp)
        m_sfdp = ReadSfdp(m_bus);
    return *m_sfdp;
}

void FlashChip::command(uint8_t opcode)
{
    m_bus.send(QByteArray(1, char(opcode)));
}

void FlashChip::writeEnable()
{
    command(SpiOpcode::WREN);
}

void FlashChip::writeDisable()
{
    command(SpiOpcode::WRDI);
}

bool FlashChip::readRegister(uint8_t opcode, uint8_t &value)
{
    m_bus.send(QByteArray(1, char(opcode)), true);
    QByteArray answer;
    m_bus.receive(1, answer);
    if (answer.isEmpty() || failed())
        return false;
    value = static_cast<uint8_t>(answer.at(0));
    return true;
}

bool FlashChip::readStatus(uint8_t &status)
{
    if (!readRegister(SpiOpcode::RDSR, status))
        return false;
    m_lastStatus = status;
    return true;
}

bool FlashChip::isBusy()
{
    return isBusyUnless(m_family ? m_family->errorBits : 0);
}

bool FlashChip::isBusyUnless(uint8_t errorFlags)
{
    uint8_t status = 0;
    if (!readStatus(status))
        return false;
    qCDebug(varnockTrace) << "st" << QByteArray(1, char(status)).toHex();
    // An error flag holds BUSY until it is cleared: the operation has ended.
    if ((status & errorFlags) != 0)
        return false;
    return (status & SpiStatus::BUSY) != 0;
}

// Both waits poll once more after the deadline, so a host that stalled between two polls never
// times out a chip that has finished.
WaitResult FlashChip::waitWhileProgramming(qint64 timeoutMs, bool statusWrite)
{
    // While a status write runs, a bit that is an error flag on one part of the identifier and
    // a protection bit on another still shows its old value.
    const uint8_t errorFlags = !m_family     ? 0
                               : statusWrite ? m_family->errorBits & ~m_family->protectionBits
                                             : m_family->errorBits;
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    for (;;) {
        const bool expired = deadline.hasExpired();
        if (!isBusyUnless(errorFlags))
            return failed() ? WaitResult::TransferFailed : WaitResult::Ready;
        if (expired)
            return WaitResult::TimedOut;
        QThread::msleep(1);
    }
}

WaitResult FlashChip::waitWhileErasing(qint64 timeoutMs, ChipProgress &progress, bool tracePolls)
{
    const QDeadlineTimer deadline(timeoutMs > 0 ? timeoutMs : ChipEraseBudgetMs(m_size),
                                  Qt::PreciseTimer);
    for (;;) {
        const bool expired = deadline.hasExpired();
        if (!isBusy())
            return failed() ? WaitResult::TransferFailed : WaitResult::Ready;
        if (expired)
            return WaitResult::TimedOut;
        progress.erasePolled();
        if (tracePolls)
            qCDebug(varnockTrace) << "KKK0";
    }
}

bool FlashChip::clearErrorFlags()
{
    if (!m_family || (m_lastStatus & m_family->errorBits) == 0)
        return false;
    command(SpiOpcode::CLSR);
    return true;
}

bool FlashChip::takeFlagErrors()
{
    if (!m_family || !m_family->flagStatus)
        return false;
    uint8_t flags = 0;
    if (!readRegister(SpiOpcode::RFSR, flags) || !pageStatusFlagged(flags))
        return false;
    m_lastFlagStatus = flags;
    command(SpiOpcode::CLFSR);
    return true;
}

uint8_t FlashChip::pageStatusOpcode() const
{
    return m_family && m_family->flagStatus ? SpiOpcode::RFSR : SpiOpcode::RDSR;
}

bool FlashChip::pageStatusBusy(uint8_t answer) const
{
    if (m_family && m_family->flagStatus)
        return (answer & FlagStatus::READY) == 0;
    return (answer & SpiStatus::BUSY) != 0;
}

bool FlashChip::pageStatusFlagged(uint8_t answer) const
{
    // FFh: nothing drives the line.
    return m_family && m_family->flagStatus && answer != 0xFF &&
           (answer & FlagStatus::ERRORS) != 0;
}

void FlashChip::enterFourByteMode()
{
    if (!HasFourByteMode(m_family))
        return;
    if (NeedsWriteEnable(m_family))
        writeEnable();
    command(SpiOpcode::EN4B);
}

void FlashChip::exitFourByteMode()
{
    // After a lost transfer the chip may still be inside the command it was given: end that
    // select window first, or 0xE9 would be taken as its data.
    m_bus.deselect();
    if (!HasFourByteMode(m_family))
        return;
    if (NeedsWriteEnable(m_family))
        writeEnable();
    command(SpiOpcode::EX4B);
    // W25Q256FV: leaving 4-byte mode sets the Extended Address Register to 1, so 3-byte
    // addresses would reach the upper 16 MiB.
    if (m_family && (m_family->fourByteMode & FourByteMode::ClearExtendedAddress)) {
        writeEnable();
        m_bus.send(QByteArray(1, char(SpiOpcode::WREAR)) + '\0');
        writeDisable();
    }
}

int FlashChip::stackedDies() const
{
    return m_settled.dieSelect ? qMax(m_settled.dies, 1) : 1;
}

uint32_t FlashChip::dieSize() const
{
    return m_size / uint32_t(stackedDies());
}

bool FlashChip::needsFourByteAddress(uint32_t extent) const
{
    return (stackedDies() > 1 ? qMin(extent, dieSize()) : extent) > kThreeByteAddressLimit;
}

void FlashChip::sendDieSelect(int die)
{
    m_bus.send(QByteArray(1, char(SpiOpcode::DIESEL)) + char(die));
    m_die = die;
}

void FlashChip::selectDie(int die)
{
    if (stackedDies() > 1 && die != m_die)
        sendDieSelect(die);
}

uint32_t FlashChip::dieAddress(uint32_t address, bool fourByteAddress)
{
    if (stackedDies() == 1)
        return address;
    const int die = int(address / dieSize());
    // Each die has its own address mode.
    if (die != m_die) {
        if (fourByteAddress)
            exitFourByteMode();
        selectDie(die);
        if (fourByteAddress)
            enterFourByteMode();
    }
    return address % dieSize();
}

void FlashChip::leaveAddressing(bool fourByteAddress)
{
    if (fourByteAddress)
        exitFourByteMode();
    selectDie(0);
}

bool FlashChip::resetAddressing()
{
    if (stackedDies() == 1 && m_size <= kThreeByteAddressLimit)
        return true;
    for (int die = stackedDies() - 1; die >= 0; --die) {
        if (stackedDies() > 1)
            sendDieSelect(die);
        if (needsFourByteAddress(m_size))
            exitFourByteMode();
    }
    return m_bus.flush();
}

uint8_t FlashChip::fourByteOpcode(uint8_t opcode) const
{
    if (HasFourByteMode(m_family))
        return opcode;
    for (const OpcodeTwin &twin : kFourByteTwins) {
        if (twin.threeByte == opcode)
            return twin.fourByte;
    }
    return opcode;
}

QByteArray FlashChip::addressedHeader(uint8_t opcode, uint32_t address, bool fourByteAddress) const
{
    QByteArray header(1, char(fourByteAddress ? fourByteOpcode(opcode) : opcode));
    if (fourByteAddress)
        header.append(char(address >> 24));
    header.append(char(address >> 16));
    header.append(char(address >> 8));
    header.append(char(address));
    return header;
}

bool FlashChip::readCommand(const QByteArray &header, int count, QByteArray &answer)
{
    return m_bus.command(header, count, answer);
}
