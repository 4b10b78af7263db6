#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"

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
} // namespace

uint8_t CH341::FourByteOpcode(uint8_t opcode) const
{
    if (HasFourByteMode(Family))
        return opcode;
    for (const OpcodeTwin &twin : kFourByteTwins) {
        if (twin.threeByte == opcode)
            return twin.fourByte;
    }
    return opcode;
}

bool CH341::ReportChipError(uint32_t address, bool erase)
{
    if (!Family || (m_lastStatus & Family->errorBits) == 0)
        return false;
    SendSingleByteCommand(SpiOpcode::CLSR);
    Log((erase ? QStringLiteral("Erase Error at 0x%1") : QStringLiteral("Program Error at 0x%1"))
            .arg(AddressHex(address)),
        "red");
    return true;
}

void CH341::EnterFourByteMode()
{
    if (!HasFourByteMode(Family))
        return;
    if (NeedsWriteEnable(Family))
        WriteEnable();
    SendSingleByteCommand(SpiOpcode::EN4B);
}

void CH341::ExitFourByteMode()
{
    // After a lost transfer the chip may still be inside the command it was
    // given: end that select window first, or 0xE9 would be taken as its data.
    DeselectChip();
    if (!HasFourByteMode(Family))
        return;
    if (NeedsWriteEnable(Family))
        WriteEnable();
    SendSingleByteCommand(SpiOpcode::EX4B);
    // W25Q256FV: leaving 4-byte mode sets the Extended Address Register to 1,
    // so 3-byte addresses would reach the upper 16 MiB.
    if (Family && (Family->fourByteMode & FourByteMode::ClearExtendedAddress)) {
        WriteEnable();
        SpiSend(1, 2, QByteArray(1, char(SpiOpcode::WREAR)) + '\0');
        WriteDisable();
    }
}

int CH341::StackedDies() const
{
    return m_settled.dieSelect ? qMax(m_settled.dies, 1) : 1;
}

uint32_t CH341::DieSize() const
{
    return ChipSize / uint32_t(StackedDies());
}

bool CH341::NeedsFourByteAddress(uint32_t extent) const
{
    return (StackedDies() > 1 ? qMin(extent, DieSize()) : extent) > kThreeByteAddressLimit;
}

void CH341::SendDieSelect(int die)
{
    SpiSend(1, 2, QByteArray(1, char(SpiOpcode::DIESEL)) + char(die));
    m_die = die;
}

void CH341::SelectDie(int die)
{
    if (StackedDies() > 1 && die != m_die)
        SendDieSelect(die);
}

uint32_t CH341::DieAddress(uint32_t address, bool fourByteAddress)
{
    if (StackedDies() == 1)
        return address;
    const int die = int(address / DieSize());
    // Each die has its own address mode.
    if (die != m_die) {
        if (fourByteAddress)
            ExitFourByteMode();
        SelectDie(die);
        if (fourByteAddress)
            EnterFourByteMode();
    }
    return address % DieSize();
}

void CH341::LeaveAddressing(bool fourByteAddress)
{
    if (fourByteAddress)
        ExitFourByteMode();
    SelectDie(0);
}
