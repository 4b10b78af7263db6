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
    return !family || family->fourByteMode != FourByteMode::FourByteOpcodes;
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
    if (Family && Family->fourByteMode == FourByteMode::EnterExitWithWriteEnable)
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
    if (Family && Family->fourByteMode == FourByteMode::EnterExitWithWriteEnable)
        WriteEnable();
    SendSingleByteCommand(SpiOpcode::EX4B);
}
