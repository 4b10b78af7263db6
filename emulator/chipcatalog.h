#pragma once

#include "chipmodel.h"
#include "spieeprom.h"

#include <optional>
#include <string>
#include <vector>

namespace emu {

// Every part the emulator models, flash and EEPROMs of every bus, for a user to choose from
// (the demo's --chip and "--chip list").
std::vector<ChipModel> chipCatalog();

// The part of that name, in any letter case; none when the emulator does not model it.
std::optional<ChipModel> findChipModel(const std::string &name);

// The 25xx SPI EEPROM of that name in the catalogue, as its own model; none for any other part.
std::optional<SpiEepromModel> findSpiEepromModel(const std::string &name);

} // namespace emu
