#pragma once

// The identify job's view of the chip's registers: every status and configuration register
// the part's layout names, each bit by its datasheet name, whether the chip is protected and
// why, and what its SFDP table says; read-only. Worker thread.

#include <QStringList>

class FlashChip;
class JobLog;

// Reads and logs the registers; false when a transfer failed.
bool LogChipRegisters(FlashChip &chip, JobLog &log);
