#include "programmer/chips/eeprom/eeprompart.h"

namespace {
constexpr uint32_t kSmallestMicrowireBytes = 32;

// 25xx: one address byte up to 4 Kbit (A8 in the opcode at 4 Kbit), two up to 512 Kbit, three
// above.
void SpiAddressing(EepromPart &part)
{
    part.addressBytes = part.size <= 512 ? 1 : part.size <= 65536 ? 2 : 3;
    part.a8InOpcode = part.size == 512;
}

// 24xx by the row's addrtype: 0 the original 24C01 (no device address), 1 24C01/02, 2-4
// 24C04/08/16 (one to three block bits), 5 24C32-24C512 (two address bytes), 6 24C1024 (two
// address bytes and one block bit).
void I2cAddressing(EepromPart &part, int addrtype)
{
    part.addressBytes = addrtype == 0 ? 0 : addrtype <= 4 ? 1 : 2;
    part.blockBits = addrtype >= 2 && addrtype <= 4 ? addrtype - 1 : addrtype == 6 ? 1 : 0;
}
} // namespace

bool IsEepromRow(const ChipRecord &row)
{
    return row.spicmd == QLatin1String("95") || row.protocol == QLatin1String("I2C") ||
           row.protocol == QLatin1String("MicroWire");
}

EepromPart EepromPartOf(const ChipRecord &row)
{
    EepromPart part;
    part.vendor = row.vendor;
    // The list marks names that start with a digit with a '_'; the operator named the part.
    part.name = row.partName.startsWith(QLatin1Char('_')) ? row.partName.mid(1) : row.partName;
    part.size = uint32_t(qMax(row.size, 0));
    part.page = uint32_t(qMax(row.page.toInt(), 1));
    if (row.protocol == QLatin1String("I2C")) {
        part.bus = EepromBus::I2c;
        I2cAddressing(part, row.addrtype);
    } else if (row.protocol == QLatin1String("MicroWire")) {
        part.bus = EepromBus::Microwire;
        part.addressBits = row.addrbitlen;
        // No 93xx holds less than 256 bits (the 93C06, 16 x16 words); a row below that counts
        // its words, and reading it as bytes would leave half the part out of every backup.
        part.size = qMax(part.size, kSmallestMicrowireBytes);
        part = InOrganisation(part, 16);
    } else {
        part.bus = EepromBus::Spi;
        SpiAddressing(part);
    }
    return part;
}

QString WithoutOrganisation(const QString &name, int &wordBits)
{
    wordBits = 16;
    for (const int bits : {8, 16}) {
        const QString suffix = QStringLiteral("-x%1").arg(bits);
        if (name.endsWith(suffix, Qt::CaseInsensitive)) {
            wordBits = bits;
            return name.left(name.size() - suffix.size());
        }
    }
    return name;
}

EepromPart InOrganisation(EepromPart part, int wordBits)
{
    part.wordBits = wordBits;
    part.page = uint32_t(wordBits / 8);
    return part;
}
