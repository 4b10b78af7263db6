#include "programmer/identify/chiplists.h"

#include "programmer/chips/nor/chipfamily.h"
#include "chipdb/chiplistextract.h"
#include "chipdb/chiptable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

// The resource collection lives in a static library; referencing its initializer keeps the
// linker from dropping it.
static void RegisterResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {
const QString kBuiltInList = QStringLiteral(":/database/bin/chiplist.xml");
QString g_chosenList;
bool g_partForced = false;
QString g_rememberedPart;

const char *const kColumns[] = {
    "group",    "vendor",     "part",   "id",         "page",  "size",  "spicmd", "otp",
    "addrtype", "addrbitlen", "script", "protection", "idcmd", "basis", "erase",  "voltage"};

bool IsPowerOfTwo(qint64 value)
{
    return value > 0 && (value & (value - 1)) == 0;
}

// A row's cells by column name, missing trailing cells empty.
class RowCells
{
public:
    RowCells(const QStringList &header, const QStringList &cells)
        : m_header(header)
        , m_cells(cells)
    {
    }
    QString operator[](const char *column) const
    {
        const int at = m_header.indexOf(QLatin1String(column));
        return at >= 0 && at < m_cells.size() ? m_cells.at(at).trimmed() : QString();
    }

private:
    const QStringList &m_header;
    const QStringList &m_cells;
};

// Why the id does not fit the identification command, or empty.
QString IdFault(const QString &id, const QString &idcmd)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]+$"));
    if (!hex.match(id).hasMatch())
        return QStringLiteral("\"%1\" is not hexadecimal").arg(id);
    const bool jedec = idcmd == QLatin1String("9F");
    const bool continued = idcmd == QLatin1String("9F7F");
    if (jedec && id.size() != 6)
        return QStringLiteral("\"%1\" is not the three bytes of the 9Fh answer (6 digits)")
            .arg(id);
    if (continued && id.size() != 6 && id.size() != 4)
        return QStringLiteral("\"%1\" is not the 4 or 6 digits after the continuation code 7F")
            .arg(id);
    if (!jedec && !continued && id.size() != 4)
        return QStringLiteral("\"%1\" is not the two bytes of the %2h answer (4 digits)")
            .arg(id, idcmd);
    return QString();
}

// The first fault of a row as "Column NAME: what is wrong", or empty with the row filled.
QString RowFault(const RowCells &cells, ChipRecord &row)
{
    const auto fault = [](const char *column, const QString &what) {
        return QStringLiteral("Column %1: %2").arg(QLatin1String(column), what);
    };
    if (cells["group"] != QLatin1String("SPI"))
        return fault("group", QStringLiteral("\"%1\" is not SPI, the only group a user's list "
                                             "may add to")
                                  .arg(cells["group"]));
    for (const char *name : {"vendor", "part"}) {
        if (cells[name].isEmpty())
            return fault(name, QStringLiteral("empty"));
    }
    IdAnswer answer;
    if (!IdAnswerOfText(cells["idcmd"], answer))
        return fault("idcmd",
                     QStringLiteral("\"%1\" is none of 9F, 9F7F, 90, AB, 15").arg(cells["idcmd"]));
    const QString idFault = IdFault(cells["id"], cells["idcmd"]);
    if (!idFault.isEmpty())
        return fault("id", idFault);
    bool number = false;
    const qint64 size = cells["size"].toLongLong(&number, 10);
    if (!number || !IsPowerOfTwo(size) || size < 1024 || size > (qint64(1) << 30))
        return fault("size", QStringLiteral("\"%1\" is not a byte count, a power of two from "
                                            "1024 to 1073741824")
                                 .arg(cells["size"]));
    const QString page = cells["page"];
    const qint64 pageSize = page.toLongLong(&number, 10);
    if (page != QLatin1String("SSTB") && page != QLatin1String("SSTW") &&
        (!number || !IsPowerOfTwo(pageSize) || pageSize > 65536 || pageSize > size))
        return fault("page", QStringLiteral("\"%1\" is neither a page size in bytes (a power of "
                                            "two up to 65536 and the size) nor SSTB or SSTW")
                                 .arg(page));
    if (!cells["spicmd"].isEmpty())
        return fault("spicmd", QStringLiteral("\"%1\": only 25-series flash may be added, with "
                                              "this column empty")
                                   .arg(cells["spicmd"]));
    for (const char *name : {"otp", "addrtype", "addrbitlen"}) {
        cells[name].toUShort(&number, 10);
        if (!cells[name].isEmpty() && !number)
            return fault(name, QStringLiteral("\"%1\" is not a decimal number").arg(cells[name]));
    }
    if (LayoutIndexByName(cells["protection"]) < 0)
        return fault("protection", QStringLiteral("\"%1\" is no layout of chipdb/data/layouts.tsv")
                                       .arg(cells["protection"]));
    PartFacts facts{};
    if (!WholeChipEraseOfText(cells["erase"], facts))
        return fault(
            "erase",
            QStringLiteral("\"%1\" is none of empty, 62, D8, C4xN, C2xN").arg(cells["erase"]));
    const QString voltage = cells["voltage"];
    if (!voltage.isEmpty() && (!ParseVoltageRange(voltage, row.voltageMinMv, row.voltageMaxMv) ||
                               row.voltageMinMv < 1000 || row.voltageMaxMv > 6000))
        return fault("voltage", QStringLiteral("\"%1\" is not minimum-maximum in millivolts, "
                                               "from 1000 to 6000")
                                    .arg(voltage));
    row.protocol = QStringLiteral("SPI");
    row.vendor = cells["vendor"];
    row.partName = cells["part"];
    row.id = cells["id"].toUpper();
    row.page = page;
    row.size = qint32(size);
    row.otp = cells["otp"].toUShort();
    row.addrtype = quint8(cells["addrtype"].toUShort());
    row.addrbitlen = quint8(cells["addrbitlen"].toUShort());
    row.layout = cells["protection"];
    row.idcmd = cells["idcmd"];
    row.erase = cells["erase"];
    return QString();
}

} // namespace

QString UserChipListPath()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/varnock-spi-flasher/chips.tsv");
}

void SetChosenChipList(const QString &path)
{
    g_chosenList = path;
}

QString ChosenChipList()
{
    return g_chosenList;
}

void SetChosenPartForced(bool force)
{
    g_partForced = force;
}

bool ChosenPartForced()
{
    return g_partForced;
}

void SetRememberedPartName(const QString &name)
{
    g_rememberedPart = name;
}

QString RememberedPartName()
{
    return g_rememberedPart;
}

bool AppendUserRow(const ChipRecord &row, const QString &basis, int *line, QString &error)
{
    const QString path = UserChipListPath();
    QByteArray text;
    QFile existing(path);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            error = existing.errorString();
            return false;
        }
        text = existing.readAll();
        existing.close();
    } else {
        QStringList header;
        for (const char *column : kColumns)
            header << QLatin1String(column);
        text = header.join(QLatin1Char('\t')).toUtf8() + '\n';
    }
    if (!text.isEmpty() && !text.endsWith('\n'))
        text += '\n';
    const QStringList cells = {
        row.protocol, row.vendor, row.partName, row.id,    row.page,  QString::number(row.size),
        QString(),    QString(),  QString(),    QString(), QString(), row.layout,
        row.idcmd,    basis,      row.erase,    QString()};
    text += cells.join(QLatin1Char('\t')).toUtf8() + '\n';
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    *line = text.count('\n');
    return true;
}

bool ReadUserChipList(const QString &path, QList<ChipRecord> &rows, QString &error)
{
    const QString shown = QDir::toNativeSeparators(path);
    ChipTable table;
    QString reason;
    if (!ReadChipTable(path, table, &reason)) {
        error = QStringLiteral("Cannot Read Chip List %1: %2").arg(shown, reason);
        return false;
    }
    for (const char *column : kColumns) {
        if (!table.header.contains(QLatin1String(column))) {
            error = QStringLiteral("Chip List %1: the header line names no column %2")
                        .arg(shown, QLatin1String(column));
            return false;
        }
    }
    for (const ChipTableLine &line : table.lines) {
        ChipRecord row;
        QString fault = line.cells.size() > table.header.size()
                            ? QStringLiteral("%1 columns, the header names %2")
                                  .arg(line.cells.size())
                                  .arg(table.header.size())
                            : RowFault(RowCells(table.header, line.cells), row);
        if (!fault.isEmpty()) {
            error =
                QStringLiteral("Chip List %1 Line %2, %3").arg(shown).arg(line.number).arg(fault);
            return false;
        }
        row.origin = QStringLiteral("%1 line %2").arg(shown).arg(line.number);
        rows << row;
    }
    return true;
}

bool ReadUserChipLists(QList<ChipRecord> &rows, QString &error)
{
    rows.clear();
    const QString own = UserChipListPath();
    if (QFile::exists(own) && !ReadUserChipList(own, rows, error))
        return false;
    return g_chosenList.isEmpty() || ReadUserChipList(g_chosenList, rows, error);
}

bool IsPartNamed(const ChipRecord &row, const QString &name)
{
    const QString &part = row.partName;
    const QString bare = part.startsWith(QLatin1Char('_')) ? part.mid(1) : part;
    return bare.compare(name, Qt::CaseInsensitive) == 0;
}

ChipList KnownChips(const QList<ChipRecord> &userRows)
{
    static const bool registered = (RegisterResources(), true);
    Q_UNUSED(registered);
    int status = 0;
    ChipList chips = ChipListExtract(kBuiltInList).ExtractChipList(&status);
    quint16 next = chips.isEmpty() ? 0 : quint16(chips.lastKey() + 1);
    for (const ChipRecord &row : userRows) {
        auto same = std::find_if(chips.begin(), chips.end(), [&row](const ChipRecord &known) {
            return known.id == row.id && IsPartNamed(known, row.partName);
        });
        if (same != chips.end())
            *same = row;
        else
            chips.insert(next++, row);
    }
    return chips;
}
