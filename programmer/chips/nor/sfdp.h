#pragma once

// What a chip's SFDP table (JESD216) says about it: the header and the basic flash parameter
// table, read with 5Ah. Worker thread.

#include "programmer/chips/nor/chipfamily.h"

#include <QPair>
#include <QVector>

#include <cstdint>

class SpiTransport;

struct SfdpFacts
{
    uint64_t density = 0; // bytes; 0: no valid table
    uint32_t pageSize = 256;
    QuadEnable quadEnable = QuadEnable::Unknown;
    // The Quad Enable Requirements field itself (3 bits); -1: the table has none.
    int quadEnableRequirements = -1;
    // A 4 KiB erase throughout the array, by 20h.
    bool sectorErase = false;
    // The erase types listed: the opcode and the bytes it erases.
    QVector<QPair<uint8_t, uint32_t>> eraseTypes;
    // The address bytes the chip takes: 3 only, 4 only, or both (0); -1: the table's value is
    // reserved.
    int addressBytes = -1;
};

// A chip without a valid table gives density 0.
SfdpFacts ReadSfdp(SpiTransport &bus);
