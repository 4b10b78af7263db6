#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"

void CH341::EnterFourByteMode()
{
    if (Family && Family->fourByteMode == FourByteMode::EnterExitWithWriteEnable)
        WriteEnable();
    SendSingleByteCommand(SpiOpcode::EN4B);
}

void CH341::ExitFourByteMode()
{
    // After a lost transfer the chip may still be inside the command it was
    // given: end that select window first, or 0xE9 would be taken as its data.
    DeselectChip();
    if (Family && Family->fourByteMode == FourByteMode::EnterExitWithWriteEnable)
        WriteEnable();
    SendSingleByteCommand(SpiOpcode::EX4B);
}
