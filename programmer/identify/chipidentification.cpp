#include "programmer/identify/chipidentification.h"

#include "programmer/identify/supplyvoltage.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/jobs/joblog.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"
#include "programmer/jobs/tracelog.h"
#include "programmer/identify/chiplists.h"
#include "chipdb/chiplistextract.h"

#include <QDate>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace {
struct IdCommand
{
    QByteArray FlashIDs::*member;
    uint8_t opcode;
    int frameLength;
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

// 9Fh answers of a part without a JEDEC identifier: the line floats high or is held low.
bool IsMissingJedecId(const QByteArray &answer)
{
    return answer == QByteArray(3, char(0xFF)) || answer == QByteArray(3, '\0');
}

// The connection check: 9Fh read this often must give one answer.
constexpr int kIdentifierReads = 3;

// JEDEC's continuation code, one per bank before the manufacturer's own byte (PMC's 7F 9D xx,
// AMIC's 7F 37 20 xx).
constexpr char kContinuationCode = 0x7F;
// A 9Fh answer read past up to 15 continuation codes.
constexpr int kLongestJedecAnswer = 18;

QString HexKey(const QByteArray &answer)
{
    return QString::fromLatin1(answer.toHex()).toUpper();
}

// The opcode, then zero bytes to the frame's length.
QByteArray Frame(uint8_t opcode, int length)
{
    QByteArray frame(1, char(opcode));
    frame.append(QByteArray(length - 1, '\0'));
    return frame;
}

QStringList PartNames(const QList<ChipRecord> &rows)
{
    QStringList parts;
    for (const ChipRecord &row : rows) {
        if (!parts.contains(row.partName))
            parts << row.partName;
    }
    return parts;
}

// The operator types a part's name in any case.
QList<ChipRecord> RowsNamed(const QList<ChipRecord> &rows, const QString &name)
{
    QList<ChipRecord> named;
    std::copy_if(rows.cbegin(), rows.cend(), std::back_inserter(named),
                 [&name](const ChipRecord &row) { return IsPartNamed(row, name); });
    return named;
}

// The addresses the row's size takes (a part above 16 MiB 4-byte ones) where the chip's SFDP
// table allows the other width only.
void AddressDisagreement(const ChipRecord &row, const SfdpFacts &sfdp, QStringList &rowGives,
                         QStringList &sfdpGives)
{
    const int needed = uint32_t(row.size) > kThreeByteAddressLimit ? 4 : 3;
    if (sfdp.addressBytes <= 0 || sfdp.addressBytes == needed)
        return;
    rowGives << QStringLiteral("%1-Byte Addresses").arg(needed);
    sfdpGives << QStringLiteral("%1-Byte Addresses Only").arg(sfdp.addressBytes);
}

QString EraseTypeText(const QPair<uint8_t, uint32_t> &type)
{
    return QStringLiteral("%1h of %2 Bytes")
        .arg(QString::number(type.first, 16).toUpper().rightJustified(2, QLatin1Char('0')))
        .arg(type.second);
}

// The unit erase a row relies on (64 KiB by D8h on a part without bulk erase, 4 KiB by 20h on
// any other but the old Atmel parts, which erase the whole chip only) where the chip's SFDP
// table lists erase types without it.
void EraseDisagreement(const ChipRecord &row, const SfdpFacts &sfdp, QStringList &rowGives,
                       QStringList &sfdpGives)
{
    const WholeChipErase erase = FactsOfRow(row).erase;
    if (sfdp.eraseTypes.isEmpty() || erase == WholeChipErase::AtmelChipErase)
        return;
    const QPair<uint8_t, uint32_t> relied = erase == WholeChipErase::BlockByBlock
                                                ? qMakePair(SpiOpcode::BE, 64u * 1024)
                                                : qMakePair(SpiOpcode::SE, 4u * 1024);
    if (sfdp.eraseTypes.contains(relied))
        return;
    QStringList listed;
    for (const auto &type : sfdp.eraseTypes)
        listed << EraseTypeText(type);
    rowGives << QStringLiteral("Erase ") + EraseTypeText(relied);
    sfdpGives << QStringLiteral("Erase ") + listed.join(QLatin1String(" / "));
}
} // namespace

ChipIdentification::ChipIdentification(FlashChip &chip, JobLog &log, Questions questions)
    : m_chip(chip)
    , m_log(log)
    , m_questions(std::move(questions))
{
}

void ChipIdentification::useUserRows(const QList<ChipRecord> &rows)
{
    m_userRows = rows;
}

void ChipIdentification::rememberAs(const QString &name)
{
    m_rememberAs = name;
}

void ChipIdentification::choosePart(const QString &name, bool force)
{
    m_partName = name;
    m_forcePart = force;
}

void ChipIdentification::readIds(FlashIDs &ids)
{
    SpiTransport &bus = m_chip.bus();
    for (const IdCommand &command : kIdCommands) {
        bus.send(Frame(command.opcode, command.frameLength), true);
        QByteArray answer = command.prefilled ? QByteArray(4, char(0xFF)) : QByteArray();
        bus.receive(command.answerLength, answer);
        ids.*command.member = answer;
    }
    qCDebug(varnockTrace) << "id.ID9FH" << ids.ID9FH.toHex();
    qCDebug(varnockTrace) << "id.ID90H" << ids.ID90H.toHex();
    qCDebug(varnockTrace) << "id.IDABH" << ids.IDABH.toHex();
    qCDebug(varnockTrace) << "id.ID15H" << ids.ID15H.toHex();
    qCDebug(varnockTrace) << "id.ID4BH" << ids.ID4BH.toHex();
}

int ChipIdentification::identify()
{
    // A job cut short by a failed transfer sends the chip nothing more, so an SST chip may
    // still be in auto-address-increment mode, deaf to all but status reads and write disable.
    m_chip.writeDisable();
    FlashIDs ids;
    readIds(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    const bool steady = isSteady(ids);
    const QStringList candidates = steady ? keys(ids) : QStringList();
    // An answer that never arrived is no chip identifier.
    if (m_chip.failed())
        return endOnTransferFailure();
    if (!steady)
        return -2;

    ChipListExtract reader(QString(), nullptr);
    const ChipList chips = KnownChips(m_userRows);

    // Every row any answer names: the list keeps some parts under two ids (PMC's with and
    // without the continuation code).
    QString key;
    ChipList matches;
    for (const QString &candidate : candidates) {
        const ChipList found = reader.FindChipsByID(chips, candidate);
        if (key.isEmpty() && !found.isEmpty())
            key = candidate;
        matches.insert(found);
    }
    // Every row the answers name is listed; the chosen part's are used.
    ChipList chosen = matches;
    if (!m_partName.isEmpty() && !applyPartChoice(chips, candidates, key, chosen))
        return -2;
    if (!chosen.isEmpty() && !matches.contains(chosen.firstKey()))
        matches = chosen;
    if (matches.isEmpty()) {
        const bool accepted = acceptSfdpChip(HexKey(ids.ID9FH.left(3)));
        if (m_chip.failed())
            return endOnTransferFailure();
        if (accepted)
            return 1;
        m_log(QStringLiteral("No Chip Found in our Database based on this Flash IDs"), "red");
        return -2;
    }

    m_log(QStringLiteral("Chip(s) Found based on JDEC ID: "), "black", 1, false);
    m_log(QStringLiteral("0x") + key, "blue");
    for (const ChipRecord &chip : matches) {
        m_log(QStringLiteral("Vendor: "), "black", 1, false);
        m_log(chip.vendor, "blue", 1, false);
        m_log(QStringLiteral(" Part no: "), "black", 1, false);
        m_log(chip.partName, "blue", 1, false);
        m_log(QStringLiteral(" Capacity (Byte): "), "black", 1, false);
        m_log(QString::number(static_cast<uint32_t>(chip.size)), "blue", 1, chip.origin.isEmpty());
        if (!chip.origin.isEmpty()) {
            m_log(QStringLiteral(" From: "), "black", 1, false);
            m_log(chip.origin, "blue");
        }
    }
    if (chosen.size() < matches.size()) {
        m_log(QStringLiteral("Chosen Part no: "), "black", 1, false);
        m_log(chosen.first().partName, "blue", 1, false);
        m_log(QStringLiteral(" Capacity (Byte): "), "black", 1, false);
        m_log(QString::number(chosen.first().size), "blue");
    }
    QList<ChipRecord> rows = chosen.values();
    if (!keepRowsOfOneSize(rows) || !holdUserRowsAgainstSfdp(rows))
        return m_chip.failed() ? endOnTransferFailure() : -2;
    m_chip.identifyAs(rows);

    const QString &series = m_chip.series();
    if (series == QLatin1String("45") || series == QLatin1String("95")) {
        m_log(QStringLiteral(
                  "This Software Only Support 25 Series SPI Flash your chip Series is : %1")
                  .arg(series),
              "red");
        return -3;
    }
    logSupplyVoltage(rows);
    if (!m_chip.resetAddressing())
        return endOnTransferFailure();
    return 1;
}

bool ChipIdentification::keepRowsOfOneSize(QList<ChipRecord> &rows)
{
    const auto ofSize = [&rows](qint64 size) {
        QList<ChipRecord> kept;
        std::copy_if(rows.cbegin(), rows.cend(), std::back_inserter(kept),
                     [size](const ChipRecord &row) { return row.size == size; });
        return kept;
    };
    if (ofSize(rows.first().size).size() == rows.size())
        return true;
    const QStringList parts = PartNames(rows);
    const uint64_t density = m_chip.sfdp().density;
    if (m_chip.failed())
        return false;
    QList<ChipRecord> kept =
        density <= 0x80000000u ? ofSize(qint64(density)) : QList<ChipRecord>();
    const bool bySfdp = !kept.isEmpty();
    if (!bySfdp) {
        const QString chosen = m_partName.isEmpty() ? m_questions.part(parts) : m_partName;
        kept = RowsNamed(rows, chosen);
        if (kept.isEmpty()) {
            if (chosen.isEmpty())
                m_log(QStringLiteral("Parts of Different Sizes Share this ID, None Chosen: %1")
                          .arg(parts.join(QLatin1String(", "))),
                      "red");
            else
                logNotThisId(chosen, parts);
            return false;
        }
    }
    const QString size = QString::number(kept.first().size);
    const QString names = PartNames(kept).join(QLatin1String(", "));
    m_log(bySfdp ? QStringLiteral("SFDP Capacity (Byte): ") : QStringLiteral("Chosen Part no: "),
          "black", 1, false);
    m_log(bySfdp ? size : names, "blue", 1, false);
    m_log(bySfdp ? QStringLiteral(" Picks Part no: ") : QStringLiteral(" Capacity (Byte): "),
          "black", 1, false);
    m_log(bySfdp ? names : size, "blue");
    rows = kept;
    return true;
}

bool ChipIdentification::applyPartChoice(const ChipList &chips, const QStringList &candidates,
                                         QString &key, ChipList &matches)
{
    ChipList named;
    for (auto it = chips.cbegin(); it != chips.cend(); ++it) {
        if (IsPartNamed(*it, m_partName))
            named.insert(it.key(), *it);
    }
    if (named.isEmpty()) {
        m_log(QStringLiteral("Part %1 Is in No Chip List").arg(m_partName), "red");
        return false;
    }
    ChipList answering;
    for (auto it = named.cbegin(); it != named.cend(); ++it) {
        if (candidates.contains(it->id))
            answering.insert(it.key(), *it);
    }
    if (!answering.isEmpty()) {
        key = answering.first().id;
        matches = answering;
        return true;
    }
    const QString answer = key.isEmpty() ? candidates.value(0) : key;
    const ChipRecord &part = named.first();
    QString option;
    const auto ask = m_questions.otherId ? std::function<bool()>([&] {
        return m_questions.otherId(part.partName, part.id, answer);
    })
                                         : std::function<bool()>();
    if (!forced(ask, option)) {
        m_log(QStringLiteral("Part %1 Has ID 0x%2, the Chip Answers 0x%3: Not Used%4")
                  .arg(part.partName, part.id, answer, option),
              "red");
        return false;
    }
    m_log(QStringLiteral("Forced Part %1 (ID 0x%2) on a Chip Answering 0x%3: Its Facts Are "
                         "Used as They Stand")
              .arg(part.partName, part.id, answer),
          "red");
    key = part.id;
    matches.clear();
    matches.insert(named.firstKey(), part);
    return true;
}

bool ChipIdentification::holdUserRowsAgainstSfdp(QList<ChipRecord> &rows)
{
    const auto user = std::find_if(rows.cbegin(), rows.cend(),
                                   [](const ChipRecord &row) { return !row.origin.isEmpty(); });
    if (user == rows.cend())
        return true;
    // Only a user's rows cost the SFDP read here: the built-in rows' facts are checked.
    const SfdpFacts &sfdp = m_chip.sfdp();
    if (m_chip.failed())
        return false;
    if (sfdp.density == 0 || sfdp.density > 0x80000000u)
        return true;
    const ChipRecord row = *user;
    QStringList rowGives;
    QStringList sfdpGives;
    const bool sizeDiffers = sfdp.density != uint64_t(row.size);
    if (sizeDiffers) {
        rowGives << QStringLiteral("Capacity (Byte) %1").arg(row.size);
        sfdpGives << QString::number(sfdp.density);
    }
    AddressDisagreement(row, sfdp, rowGives, sfdpGives);
    EraseDisagreement(row, sfdp, rowGives, sfdpGives);
    if (rowGives.isEmpty())
        return true;
    const QString rowSays = rowGives.join(QLatin1String(" and "));
    const QString sfdpSays = sfdpGives.join(QLatin1String(" and "));
    QString option;
    const auto ask = m_questions.rowAgainstSfdp ? std::function<bool()>([&] {
        return m_questions.rowAgainstSfdp(row.partName, row.origin, rowSays, sfdpSays);
    })
                                                : std::function<bool()>();
    const bool used = forced(ask, option);
    const QString verdict = !used         ? QStringLiteral("Not Used")
                            : sizeDiffers ? QStringLiteral("SFDP's Capacity Is Used")
                                          : QStringLiteral("Used as It Stands");
    m_log(QStringLiteral("The Row of %1 (%2) Gives %3, the Chip's SFDP %4: %5%6")
              .arg(row.partName, row.origin, rowSays, sfdpSays, verdict, option),
          "red");
    if (!used)
        return false;
    if (sizeDiffers) {
        for (ChipRecord &each : rows)
            each.size = qint32(sfdp.density);
    }
    return true;
}

bool ChipIdentification::forced(const std::function<bool()> &ask, QString &option) const
{
    if (ask) {
        option.clear();
        return ask();
    }
    option =
        m_forcePart ? QStringLiteral(" (--force-part)") : QStringLiteral(" without --force-part");
    return m_forcePart;
}

void ChipIdentification::logSupplyVoltage(const QList<ChipRecord> &rows)
{
    const QString voltage = SupplyVoltageText(rows);
    if (voltage.isEmpty()) {
        m_log(QStringLiteral("Supply Voltage: Not Known for this Part"), "gray");
        return;
    }
    m_log(QStringLiteral("Supply Voltage: "), "black", 1, false);
    m_log(voltage, "blue");
}

void ChipIdentification::logNotThisId(const QString &part, const QStringList &parts)
{
    m_log(QStringLiteral("Part %1 Does Not Have this ID: %2")
              .arg(part, parts.join(QLatin1String(", "))),
          "red");
}

int ChipIdentification::endOnTransferFailure()
{
    m_log.transferFailure();
    return -2;
}

bool ChipIdentification::isSteady(const FlashIDs &ids)
{
    SpiTransport &bus = m_chip.bus();
    QStringList answers = {HexKey(ids.ID9FH.left(3))};
    bool allMissing = IsMissingJedecId(ids.ID9FH.left(3));
    for (int read = 1; read < kIdentifierReads; ++read) {
        bus.send(QByteArray(1, char(SpiOpcode::RDID)), true);
        QByteArray answer(3, char(0xFF));
        bus.receive(3, answer);
        answers << HexKey(answer);
        allMissing = allMissing && IsMissingJedecId(answer);
    }
    // No chip, or one without 9Fh, answers all 0xFF or all 0x00: its other ids tell.
    if (m_chip.failed() || allMissing || answers.count(answers.first()) == answers.size())
        return true;
    m_log(QStringLiteral("Unstable Connection: the Chip's JEDEC ID Read 0x%1. Check the Clip's "
                         "Seating, the Length of the Wires and the Power.")
              .arg(answers.join(QStringLiteral(", 0x"))),
          "red");
    return false;
}

QStringList ChipIdentification::keys(const FlashIDs &ids)
{
    SpiTransport &bus = m_chip.bus();
    const QByteArray jedec = ids.ID9FH.left(3);
    if (jedec.startsWith(kContinuationCode)) {
        // The manufacturer of a later bank: its own byte and the two after it, or the one
        // after it where the list keeps two bytes.
        bus.send(QByteArray(1, char(SpiOpcode::RDID)), true);
        QByteArray answer;
        bus.receive(kLongestJedecAnswer, answer);
        int own = 0;
        while (own < answer.size() && answer.at(own) == kContinuationCode)
            ++own;
        QStringList found = {HexKey(jedec)};
        if (answer.size() >= own + 3)
            found << HexKey(answer.mid(own, 3)) << HexKey(answer.mid(own, 2));
        return found;
    }
    if (!IsMissingJedecId(jedec))
        return {HexKey(jedec)};
    // Older parts have no 9Fh: their two-byte id comes from REMS, from a two-byte Read-ID
    // (ABh) or from Atmel's own 15h.
    bus.send(Frame(SpiOpcode::RES, 4), true);
    QByteArray signature;
    bus.receive(2, signature);
    QStringList found;
    for (const QByteArray &answer : {ids.ID90H, signature, ids.ID15H}) {
        if (answer.size() >= 2)
            found << HexKey(answer.left(2));
    }
    return found;
}

bool ChipIdentification::acceptSfdpChip(const QString &jedecId)
{
    const SfdpFacts &sfdp = m_chip.sfdp();
    const uint64_t size = sfdp.density;
    if (size == 0 || size > 0x80000000u || m_chip.failed())
        return false;
    m_log(QStringLiteral("Chip Not in the Chip List, SFDP Found: JEDEC ID 0x%1, Capacity (Byte): "
                         "%2, Page (Byte): %3")
              .arg(jedecId)
              .arg(size)
              .arg(sfdp.pageSize),
          "black");
    QString keepAs = m_rememberAs;
    if (!m_questions.unknownChip(jedecId, qulonglong(size), keepAs))
        return false;
    m_chip.identifyBySfdp(static_cast<uint32_t>(size));
    m_chip.resetAddressing();
    if (!keepAs.isEmpty())
        keepSfdpChip(jedecId, sfdp, keepAs);
    return true;
}

void ChipIdentification::keepSfdpChip(const QString &jedecId, const SfdpFacts &sfdp,
                                      const QString &name)
{
    const ChipList known = KnownChips(m_userRows);
    const bool taken = std::any_of(known.cbegin(), known.cend(), [&name](const ChipRecord &row) {
        return IsPartNamed(row, name);
    });
    // Such a row would not pass the check of the next job's lists.
    QString why = taken ? QStringLiteral("a Chip List Already Has a Part of that Name")
                  : sfdp.density > (1u << 30) ? QStringLiteral("Larger than 1 GiB")
                  : name.contains(QRegularExpression(QStringLiteral("[\\t\\r\\n]")))
                      ? QStringLiteral("the Name Holds a Tab or a Line End")
                      : QString();
    ChipRecord row;
    row.protocol = QStringLiteral("SPI");
    row.vendor = QStringLiteral("SFDP");
    row.partName = name;
    row.id = jedecId;
    row.page = QString::number(sfdp.pageSize);
    row.size = qint32(sfdp.density);
    // Quad Enable in Status Register-1 bit 6 has a layout of its own; the default layout
    // takes the rest, the chip's requirements applied to it as it is identified.
    row.layout = sfdp.quadEnable == QuadEnable::Status1Bit6 ? QStringLiteral("issi")
                                                            : QStringLiteral("default");
    row.idcmd = QStringLiteral("9F");
    const QString basis =
        QStringLiteral("SFDP of the chip, %1").arg(QDate::currentDate().toString(Qt::ISODate));
    int line = 0;
    if (why.isEmpty() && AppendUserRow(row, basis, &line, why)) {
        m_log(QStringLiteral("Part %1 Kept in %2 line %3")
                  .arg(name, QDir::toNativeSeparators(UserChipListPath()))
                  .arg(line),
              "blue");
        return;
    }
    m_log(QStringLiteral("Part %1 Not Kept: %2").arg(name, why), "red");
}
