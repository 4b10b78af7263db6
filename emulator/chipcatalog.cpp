#include "chipcatalog.h"

#include <algorithm>
#include <cctype>

namespace emu {

std::vector<ChipModel> chipCatalog()
{
    // clang-format off
    return {w25q64fv(),    w25q80dv(),   w25q256jv(),       mx25l6433f(),        gd25q64c(),
            gd25q128e(),   xm25qh64c(),  sst25vf016b(),     sst25vf040(),        sst25vf010(),
            sst26vf064b(), at25df041a(), at25f512(),        le25fw406a(),        pm25ld040(),
            s25fl128s(),   s25fl256s(),  mt25ql256(),       at45db161d(),        sfdpOnlyChip(),
            pm25lq032c(),  at25dq161(),  gd25q256d(),       mt25ql01g(),         w25m512jv(),
            a25l080p(),    zb25vq64(),   w25q128jvLocked(), mx25l12835fLocked(), w25q64jw(),
            // Erase sizes the parts above lack: D8h of 256 KiB.
            s25fl128sUniform256k(),
            // Serial EEPROMs of the 24xx and 93xx sockets.
            eeprom24c02(), eeprom24c16(), eeprom24c256(), eeprom24c1024(),
            eeprom93c46(8), eeprom93c46(16), eeprom93c66(8), eeprom93c66(16),
            eeprom93c86(8), eeprom93c86(16),
            // 25xx EEPROMs on the SPI lines.
            catalogEntryOf(eeprom25lc640()),
            catalogEntryOf(eeprom25040())};
    // clang-format on
}

std::optional<ChipModel> findChipModel(const std::string &name)
{
    const auto sameName = [&name](const ChipModel &model) {
        return std::equal(model.name.begin(), model.name.end(), name.begin(), name.end(),
                          [](char a, char b) { return std::toupper(a) == std::toupper(b); });
    };
    for (ChipModel &model : chipCatalog()) {
        if (sameName(model))
            return std::move(model);
    }
    return std::nullopt;
}

std::optional<SpiEepromModel> findSpiEepromModel(const std::string &name)
{
    const std::optional<ChipModel> entry = findChipModel(name);
    if (!entry || entry->spiEepromAddressBytes == 0)
        return std::nullopt;
    return spiEepromModelOf(*entry);
}

} // namespace emu
