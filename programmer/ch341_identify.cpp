#include "ch341.h"

#include "chipfamily.h"
#include "spiopcodes.h"
#include "tracelog.h"
#include "bridge/ch341dll.h"
#include "chipdb/chiplistextract.h"

#include <QMetaMethod>

#include <algorithm>
#include <iterator>

// The resource collection lives in a static library; referencing its
// initializer keeps the linker from dropping it.
static void RegisterResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {
const QString kChipListPath = QStringLiteral(":/database/bin/chiplist.xml");

struct IdCommand
{
    QByteArray FlashIDs::*member;
    uint8_t opcode;
    unsigned int frameLength;
    int answerLength;
    bool prefilled; // answer buffer starts as four 0xFF bytes, else empty
};

// The five identification cycles, in the order they are sent.
const IdCommand kIdCommands[] = {
    {&FlashIDs::ID9FH, SpiOpcode::RDID, 1, 3, true},
    {&FlashIDs::ID90H, SpiOpcode::REMS, 4, 2, false},
    {&FlashIDs::IDABH, SpiOpcode::RES, 4, 1, false},
    {&FlashIDs::ID15H, SpiOpcode::RDSR3, 1, 2, true},
    {&FlashIDs::ID4BH, SpiOpcode::RDUID, 4, 17, true},
};

// 9Fh answers of a part without a JEDEC identifier: the line floats high or is
// held low.
bool IsMissingJedecId(const QByteArray &answer)
{
    return answer == QByteArray(3, char(0xFF)) || answer == QByteArray(3, '\0');
}

// The connection check: 9Fh read this often must give one answer.
constexpr int kIdentifierReads = 3;

// JEDEC's continuation code, one per bank before the manufacturer's own
// byte (PMC's 7F 9D xx, AMIC's 7F 37 20 xx).
constexpr char kContinuationCode = 0x7F;
// A 9Fh answer read past up to 15 continuation codes.
constexpr int kLongestJedecAnswer = 18;
// The basic flash parameter table's words read: the 15th holds the Quad
// Enable Requirements (JESD216 revision B on).
constexpr int kSfdpWords = 16;
constexpr int kQuadEnableWord = 14;

QString HexKey(const QByteArray &answer)
{
    return QString::fromLatin1(answer.toHex()).toUpper();
}

QByteArray IdFrame(const IdCommand &command)
{
    QByteArray frame(1, char(command.opcode));
    if (command.frameLength > 1)
        frame.append(QByteArray(int(command.frameLength) - 1, '\0'));
    return frame;
}
} // namespace

int CH341::ReadChipIDs(FlashIDs &ids)
{
    for (const IdCommand &command : kIdCommands) {
        SpiSend(0, command.frameLength, IdFrame(command));
        QByteArray answer = command.prefilled ? QByteArray(4, char(0xFF)) : QByteArray();
        SpiReceive(command.answerLength, answer);
        ids.*command.member = answer;
    }
    qCDebug(varnockTrace) << "id.ID9FH" << ids.ID9FH.toHex();
    qCDebug(varnockTrace) << "id.ID90H" << ids.ID90H.toHex();
    qCDebug(varnockTrace) << "id.IDABH" << ids.IDABH.toHex();
    qCDebug(varnockTrace) << "id.ID15H" << ids.ID15H.toHex();
    qCDebug(varnockTrace) << "id.ID4BH" << ids.ID4BH.toHex();
    return 1;
}

int CH341::IdentifyChip()
{
    // A job cut short by a failed transfer sends the chip nothing more, so an
    // SST chip may still be in auto-address-increment mode, deaf to all but
    // status reads and write disable.
    WriteDisable();
    FlashIDs ids;
    ReadChipIDs(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    const bool steady = IdentifierIsSteady(ids);
    const QStringList keys = steady ? IdentificationKeys(ids) : QStringList();
    // An answer that never arrived is no chip identifier.
    if (TransferFailed)
        return EndIdentificationOnTransferFailure();
    if (!steady) {
        CH341CloseDevice(BridgePins::DEVICE);
        return -2;
    }

    static const bool registered = (RegisterResources(), true);
    Q_UNUSED(registered);
    ChipListExtract reader(kChipListPath, nullptr);
    int status = 0;
    const ChipList chips = reader.ExtractChipList(&status);

    // Every row any answer names: the list keeps some parts under two ids
    // (PMC's with and without the continuation code).
    QString key;
    ChipList matches;
    for (const QString &candidate : keys) {
        const ChipList found = reader.FindChipsByID(chips, candidate);
        if (key.isEmpty() && !found.isEmpty())
            key = candidate;
        matches.insert(found);
    }
    if (matches.isEmpty()) {
        const bool accepted = AcceptSfdpChip(HexKey(ids.ID9FH.left(3)));
        if (TransferFailed)
            return EndIdentificationOnTransferFailure();
        if (accepted)
            return 1;
        Log(QStringLiteral("No Chip Found in our Database based on this Flash IDs"), "red");
        CH341CloseDevice(0);
        return -2;
    }

    Log(QStringLiteral("Chip(s) Found based on JDEC ID: "), "black", 1, false);
    Log(QStringLiteral("0x") + key, "blue");
    for (const ChipRecord &chip : matches) {
        Log(QStringLiteral("Vendor: "), "black", 1, false);
        Log(chip.vendor, "blue", 1, false);
        Log(QStringLiteral(" Part no: "), "black", 1, false);
        Log(chip.partName, "blue", 1, false);
        Log(QStringLiteral(" Capacity (Byte): "), "black", 1, false);
        Log(QString::number(static_cast<uint32_t>(chip.size)), "blue");
    }
    QList<ChipRecord> rows = matches.values();
    if (!KeepRowsOfOneSize(rows)) {
        if (TransferFailed)
            return EndIdentificationOnTransferFailure();
        CH341CloseDevice(0);
        return -2;
    }
    m_candidates = rows;
    ApplySettlement();

    if (ChipSeries == QLatin1String("45") || ChipSeries == QLatin1String("95")) {
        Log(QStringLiteral(
                "This Software Only Support 25 Series SPI Flash your chip Series is : %1")
                .arg(ChipSeries),
            "red");
        CH341CloseDevice(0);
        return -3;
    }
    // An earlier job cut short may have left the chip in 4-byte mode, or
    // another of its dies selected.
    if (StackedDies() > 1 || ChipSize > kThreeByteAddressLimit) {
        for (int die = StackedDies() - 1; die >= 0; --die) {
            if (StackedDies() > 1)
                SendDieSelect(die);
            if (NeedsFourByteAddress(ChipSize))
                ExitFourByteMode();
        }
        if (!SendQueuedCommands())
            return EndIdentificationOnTransferFailure();
    }
    return 1;
}

bool CH341::KeepRowsOfOneSize(QList<ChipRecord> &rows)
{
    const auto ofSize = [&rows](qint64 size) {
        QList<ChipRecord> kept;
        std::copy_if(rows.cbegin(), rows.cend(), std::back_inserter(kept),
                     [size](const ChipRecord &row) { return row.size == size; });
        return kept;
    };
    if (ofSize(rows.first().size).size() == rows.size())
        return true;
    QStringList parts;
    for (const ChipRecord &row : rows) {
        if (!parts.contains(row.partName))
            parts << row.partName;
    }
    const uint64_t density = ReadSfdpOnce().density;
    if (TransferFailed)
        return false;
    QList<ChipRecord> kept =
        density <= 0x80000000u ? ofSize(qint64(density)) : QList<ChipRecord>();
    const bool bySfdp = !kept.isEmpty();
    if (!bySfdp) {
        const QString chosen = AskForPart(parts);
        std::copy_if(rows.cbegin(), rows.cend(), std::back_inserter(kept),
                     [&chosen](const ChipRecord &row) { return row.partName == chosen; });
        if (kept.isEmpty()) {
            Log((chosen.isEmpty() ? QStringLiteral("Parts of Different Sizes Share this ID, None "
                                                   "Chosen: %1")
                                  : QStringLiteral("Part %2 Does Not Have this ID: %1"))
                    .arg(parts.join(QLatin1String(", ")), chosen),
                "red");
            return false;
        }
    }
    QStringList keptParts;
    for (const ChipRecord &row : kept) {
        if (!keptParts.contains(row.partName))
            keptParts << row.partName;
    }
    const QString size = QString::number(kept.first().size);
    const QString names = keptParts.join(QLatin1String(", "));
    Log(bySfdp ? QStringLiteral("SFDP Capacity (Byte): ") : QStringLiteral("Chosen Part no: "),
        "black", 1, false);
    Log(bySfdp ? size : names, "blue", 1, false);
    Log(bySfdp ? QStringLiteral(" Picks Part no: ") : QStringLiteral(" Capacity (Byte): "),
        "black", 1, false);
    Log(bySfdp ? names : size, "blue");
    rows = kept;
    return true;
}

QString CH341::AskForPart(const QStringList &parts)
{
    m_chosenPart.clear();
    if (!isSignalConnected(QMetaMethod::fromSignal(&CH341::PartChoice_Question)))
        return QString();
    emit PartChoice_Question(parts);
    // The worker thread sleeps while the operator looks at the chip.
    m_protectionAnswered.acquire();
    return m_chosenPart;
}

void CH341::AnswerPartChoice(const QString &part)
{
    m_chosenPart = part;
    m_protectionAnswered.release();
}

bool CH341::PartsDisagree() const
{
    return std::any_of(m_candidates.cbegin(), m_candidates.cend(), [this](const ChipRecord &row) {
        return &FamilyOfChip(row.vendor, row.partName) !=
               &FamilyOfChip(m_candidates.first().vendor, m_candidates.first().partName);
    });
}

void CH341::ApplySettlement()
{
    const QuadEnable quadEnable = m_sfdp ? m_sfdp->quadEnable : QuadEnable::Unknown;
    if (m_candidates.isEmpty()) {
        // A chip known only by its SFDP table.
        m_settled = SettledChip{DefaultFamily(), ChipPage};
        KeepQuadEnable(m_settled.family, quadEnable);
    } else {
        m_settled = SettleParts(m_candidates, quadEnable);
        ChipSize = static_cast<uint32_t>(m_candidates.first().size);
        ChipPage = m_settled.page;
        ChipSeries.clear();
        for (const ChipRecord &row : m_candidates) {
            if (!row.spicmd.isEmpty())
                ChipSeries = row.spicmd;
        }
    }
    Family = &m_settled.family;
}

int CH341::EndIdentificationOnTransferFailure()
{
    LogTransferFailure();
    CH341CloseDevice(0);
    return -2;
}

bool CH341::IdentifierIsSteady(const FlashIDs &ids)
{
    QStringList answers = {HexKey(ids.ID9FH.left(3))};
    bool allMissing = IsMissingJedecId(ids.ID9FH.left(3));
    for (int read = 1; read < kIdentifierReads; ++read) {
        SpiSend(0, 1, QByteArray(1, char(SpiOpcode::RDID)));
        QByteArray answer(3, char(0xFF));
        SpiReceive(3, answer);
        answers << HexKey(answer);
        allMissing = allMissing && IsMissingJedecId(answer);
    }
    // No chip, or one without 9Fh, answers all 0xFF or all 0x00: its other ids tell.
    if (TransferFailed || allMissing || answers.count(answers.first()) == answers.size())
        return true;
    Log(QStringLiteral("Unstable Connection: the Chip's JEDEC ID Read 0x%1. Check the Clip's "
                       "Seating, the Length of the Wires and the Power.")
            .arg(answers.join(QStringLiteral(", 0x"))),
        "red");
    return false;
}

QStringList CH341::IdentificationKeys(const FlashIDs &ids)
{
    const QByteArray jedec = ids.ID9FH.left(3);
    if (jedec.startsWith(kContinuationCode)) {
        // The manufacturer of a later bank: its own byte and the two after
        // it, or the one after it where the list keeps two bytes.
        SpiSend(0, 1, QByteArray(1, char(SpiOpcode::RDID)));
        QByteArray answer;
        SpiReceive(kLongestJedecAnswer, answer);
        int own = 0;
        while (own < answer.size() && answer.at(own) == kContinuationCode)
            ++own;
        QStringList keys = {HexKey(jedec)};
        if (answer.size() >= own + 3)
            keys << HexKey(answer.mid(own, 3)) << HexKey(answer.mid(own, 2));
        return keys;
    }
    if (!IsMissingJedecId(jedec))
        return {HexKey(jedec)};
    // Older parts have no 9Fh: their two-byte id comes from REMS, from a
    // two-byte Read-ID (ABh) or from Atmel's own 15h.
    QByteArray frame(1, char(SpiOpcode::RES));
    frame.append(QByteArray(3, '\0'));
    SpiSend(0, static_cast<unsigned int>(frame.size()), frame);
    QByteArray signature;
    SpiReceive(2, signature);
    QStringList keys;
    for (const QByteArray &answer : {ids.ID90H, signature, ids.ID15H}) {
        if (answer.size() >= 2)
            keys << HexKey(answer.left(2));
    }
    return keys;
}

const CH341::SfdpFacts &CH341::ReadSfdpOnce()
{
    if (!m_sfdp)
        m_sfdp = ReadSfdp();
    return *m_sfdp;
}

CH341::SfdpFacts CH341::ReadSfdp()
{
    const auto read = [this](uint32_t address, int count) {
        QByteArray frame = AddressedHeader(SpiOpcode::RDSFDP, address, false);
        frame.append('\0'); // dummy byte
        SpiSend(0, static_cast<unsigned int>(frame.size()), frame);
        QByteArray answer;
        SpiReceive(count, answer);
        return answer;
    };
    const auto word = [](const QByteArray &bytes, int index) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | uint8_t(bytes.at(index * 4 + i));
        return value;
    };
    // "SFDP", revisions, header count; then the first parameter header, which
    // JEDEC reserves for the basic flash parameter table (id FF00).
    SfdpFacts facts;
    const QByteArray header = read(0, 16);
    if (header.size() != 16 || !header.startsWith("SFDP") || uint8_t(header.at(8)) != 0x00 ||
        uint8_t(header.at(15)) != 0xFF)
        return facts;
    const int words = qMin(int(uint8_t(header.at(11))), kSfdpWords);
    const uint32_t pointer = word(header, 3) & 0xFFFFFF;
    if (words < 9)
        return facts;
    const QByteArray table = read(pointer, words * 4);
    if (table.size() != words * 4)
        return facts;
    // Second word: the density in bits, minus one; with bit 31 set, 2^N bits.
    const uint32_t density = word(table, 1);
    const uint64_t bits = (density & 0x80000000u)
                              ? (uint64_t(1) << qMin(density & 0x7FFFFFFFu, 40u))
                              : uint64_t(density) + 1;
    facts.density = bits / 8;
    // First word: bits 1-0 are 01 where 4 KiB erase works throughout, bits 15-8 its opcode.
    // Eighth and ninth words: four erase types, each 2^N bytes (N 0: none) and an opcode.
    facts.sectorErase = (word(table, 0) & 0x3) == 0x1 && ((word(table, 0) >> 8) & 0xFF) == 0x20;
    for (int type = 0; type < 4; ++type) {
        const uint32_t field = word(table, 7 + type / 2) >> (16 * (type % 2));
        const uint32_t exponent = field & 0xFF;
        if (exponent > 0 && exponent < 32)
            facts.eraseTypes.append({uint8_t(field >> 8), 1u << exponent});
    }
    // Eleventh word (JESD216 revision B on): bits 7-4 give the page size as 2^N.
    if (words >= 11)
        facts.pageSize = 1u << ((word(table, 10) >> 4) & 0x0F);
    // Fifteenth word, bits 22-20: the Quad Enable Requirements.
    if (words > kQuadEnableWord)
        facts.quadEnable = QuadEnableOfRequirements(int(word(table, kQuadEnableWord) >> 20) & 7);
    return facts;
}

bool CH341::AcceptSfdpChip(const QString &jedecId)
{
    const SfdpFacts &sfdp = ReadSfdpOnce();
    const uint64_t size = sfdp.density;
    const uint32_t pageSize = sfdp.pageSize;
    if (size == 0 || size > 0x80000000u || TransferFailed)
        return false;
    Log(QStringLiteral("Chip Not in the Chip List, SFDP Found: JEDEC ID 0x%1, Capacity (Byte): "
                       "%2, Page (Byte): %3")
            .arg(jedecId)
            .arg(size)
            .arg(pageSize),
        "black");
    const bool use = AskOperator(QMetaMethod::fromSignal(&CH341::UnknownChip_Question), [&] {
        emit UnknownChip_Question(jedecId, static_cast<qulonglong>(size));
    });
    if (!use)
        return false;
    // The standard commands and 256-byte pages suit every part that has SFDP.
    ChipSize = static_cast<uint32_t>(size);
    ChipSeries.clear();
    ChipPage = QStringLiteral("256");
    m_candidates.clear();
    ApplySettlement();
    if (ChipSize > kThreeByteAddressLimit) {
        ExitFourByteMode();
        SendQueuedCommands();
    }
    return true;
}

void CH341::DoReadID()
{
    if (InitializeProgrammer() != 1) {
        LogInitializeFailure();
        emit JobDone();
        return;
    }
    FlashIDs ids;
    ReadChipIDs(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    if (TransferFailed)
        LogTransferFailure();
    else
        m_outcome = JobOutcome::Succeeded;
    EndJob();
}
