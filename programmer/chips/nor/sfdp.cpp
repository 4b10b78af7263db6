#include "programmer/chips/nor/sfdp.h"

#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"

namespace {
// The basic flash parameter table's words read: the 15th holds the Quad Enable Requirements
// (JESD216 revision B on).
constexpr int kSfdpWords = 16;
constexpr int kQuadEnableWord = 14;

QByteArray ReadAt(SpiTransport &bus, uint32_t address, int count)
{
    QByteArray frame(1, char(SpiOpcode::RDSFDP));
    frame.append(char(address >> 16));
    frame.append(char(address >> 8));
    frame.append(char(address));
    frame.append('\0'); // dummy byte
    bus.send(frame, true);
    QByteArray answer;
    bus.receive(count, answer);
    return answer;
}

uint32_t Word(const QByteArray &bytes, int index)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | uint8_t(bytes.at(index * 4 + i));
    return value;
}
} // namespace

SfdpFacts ReadSfdp(SpiTransport &bus)
{
    // "SFDP", revisions, header count; then the first parameter header, which JEDEC reserves
    // for the basic flash parameter table (id FF00).
    SfdpFacts facts;
    const QByteArray header = ReadAt(bus, 0, 16);
    if (header.size() != 16 || !header.startsWith("SFDP") || uint8_t(header.at(8)) != 0x00 ||
        uint8_t(header.at(15)) != 0xFF)
        return facts;
    const int words = qMin(int(uint8_t(header.at(11))), kSfdpWords);
    const uint32_t pointer = Word(header, 3) & 0xFFFFFF;
    if (words < 9)
        return facts;
    const QByteArray table = ReadAt(bus, pointer, words * 4);
    if (table.size() != words * 4)
        return facts;
    // Second word: the density in bits, minus one; with bit 31 set, 2^N bits.
    const uint32_t density = Word(table, 1);
    const uint64_t bits = (density & 0x80000000u)
                              ? (uint64_t(1) << qMin(density & 0x7FFFFFFFu, 40u))
                              : uint64_t(density) + 1;
    facts.density = bits / 8;
    // First word: bits 1-0 are 01 where 4 KiB erase works throughout, bits 15-8 its opcode.
    // Eighth and ninth words: four erase types, each 2^N bytes (N 0: none) and an opcode.
    facts.sectorErase = (Word(table, 0) & 0x3) == 0x1 && ((Word(table, 0) >> 8) & 0xFF) == 0x20;
    // First word, bits 18-17: 00 3-byte addresses only, 01 3 or 4, 10 4 only, 11 reserved.
    const int addressField = int(Word(table, 0) >> 17) & 3;
    facts.addressBytes = addressField == 0   ? 3
                         : addressField == 1 ? 0
                         : addressField == 2 ? 4
                                             : -1;
    for (int type = 0; type < 4; ++type) {
        const uint32_t field = Word(table, 7 + type / 2) >> (16 * (type % 2));
        const uint32_t exponent = field & 0xFF;
        if (exponent > 0 && exponent < 32)
            facts.eraseTypes.append({uint8_t(field >> 8), 1u << exponent});
    }
    // Eleventh word (JESD216 revision B on): bits 7-4 give the page size as 2^N.
    if (words >= 11)
        facts.pageSize = 1u << ((Word(table, 10) >> 4) & 0x0F);
    // Fifteenth word, bits 22-20: the Quad Enable Requirements.
    if (words > kQuadEnableWord) {
        facts.quadEnableRequirements = int(Word(table, kQuadEnableWord) >> 20) & 7;
        facts.quadEnable = QuadEnableOfRequirements(facts.quadEnableRequirements);
    }
    return facts;
}
