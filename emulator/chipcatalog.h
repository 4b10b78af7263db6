#pragma once

#include "chipmodel.h"
#include "spieeprom.h"

#include <optional>
#include <string>
#include <vector>

namespace emu {

// Every part the emulator models, for a user to choose from (the demo's --chip).
std::vector<ChipModel> chipCatalog();

// The part of that name, in any letter case; none when the emulator does not model it.
std::optional<ChipModel> findChipModel(const std::string &name);

// Every 25xx SPI EEPROM the emulator models, chosen by the same --chip.
std::vector<SpiEepromModel> spiEepromCatalog();
std::optional<SpiEepromModel> findSpiEepromModel(const std::string &name);

} // namespace emu
