#include "chiplistoptions.h"

#include "programmer/identify/chiplists.h"
#include "programmer/identify/supplyvoltage.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>

namespace {
const QCommandLineOption kChipList(
    QStringLiteral("chip-list"),
    QStringLiteral("Also look the chip up in FILE, rows in chipdb/data/chips.tsv's columns "
                   "(see docs/chip-list.md), after $XDG_DATA_HOME/varnock-spi-flasher/chips.tsv; "
                   "a row with a built-in row's id and part replaces it."),
    QStringLiteral("FILE"));
const QCommandLineOption kListParts(
    QStringLiteral("list-parts"),
    QStringLiteral("Print the parts the chip lists know, one a line (vendor, part, id, size, "
                   "page, voltage, where the row comes from), those whose vendor or part "
                   "contains PATTERN when one follows, and run no job."));

const QCommandLineOption kForcePart(
    QStringLiteral("force-part"),
    QStringLiteral("Use the facts of the part --part names even where the chip answers another "
                   "id (a broken or missing id answer): a red line warns of it."));

const QCommandLineOption kRememberPart(
    QStringLiteral("remember-part"),
    QStringLiteral("With --accept-sfdp: keep a chip no list knows under NAME in the user's own "
                   "chip list, from its SFDP table; the next job knows it by that row."),
    QStringLiteral("NAME"));

void PrintLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString PartLine(const ChipRecord &row)
{
    const QString voltage = SupplyVoltageText({row});
    return QStringList{row.vendor,
                       row.partName,
                       row.id.isEmpty() ? QStringLiteral("-") : row.id,
                       QString::number(row.size),
                       row.page.isEmpty() ? QStringLiteral("-") : row.page,
                       voltage.isEmpty() ? QStringLiteral("-") : voltage,
                       row.origin.isEmpty() ? QStringLiteral("built-in list") : row.origin}
        .join(QLatin1Char('\t'));
}
} // namespace

namespace ChipListOptions {

QList<QCommandLineOption> Options()
{
    return {kChipList, kListParts, kForcePart, kRememberPart};
}

QString Apply(const QCommandLineParser &parser, int jobs)
{
    if (parser.isSet(kChipList) && parser.value(kChipList).isEmpty())
        return QStringLiteral("--chip-list needs a file name.");
    if (parser.isSet(kListParts) && jobs > 0)
        return QStringLiteral("--list-parts runs no job: give it alone, or with --chip-list.");
    if (parser.positionalArguments().size() > 1)
        return QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().at(1));
    const QString part = parser.value(QStringLiteral("part"));
    if (parser.isSet(kForcePart) && part.isEmpty())
        return QStringLiteral("--force-part forces the part --part names: give --part NAME.");
    if (parser.isSet(kRememberPart) && (parser.value(kRememberPart).trimmed().isEmpty() ||
                                        !parser.isSet(QStringLiteral("accept-sfdp"))))
        return QStringLiteral("--remember-part NAME keeps a chip --accept-sfdp uses: give both.");
    SetRememberedPartName(parser.value(kRememberPart));
    SetChosenChipList(parser.value(kChipList));
    SetChosenPartForced(parser.isSet(kForcePart));
    return QString();
}

bool TakesPattern(const QCommandLineParser &parser)
{
    return parser.isSet(kListParts);
}

bool ListsParts(const QCommandLineParser &parser)
{
    return parser.isSet(kListParts);
}

int ListParts(const QCommandLineParser &parser)
{
    QList<ChipRecord> userRows;
    QString fault;
    if (!ReadUserChipLists(userRows, fault)) {
        PrintLine(stderr, fault);
        return 1;
    }
    const QString pattern = parser.positionalArguments().value(0);
    for (const ChipRecord &row : KnownChips(userRows)) {
        if (row.vendor.contains(pattern, Qt::CaseInsensitive) ||
            row.partName.contains(pattern, Qt::CaseInsensitive))
            PrintLine(stdout, PartLine(row));
    }
    return 0;
}

} // namespace ChipListOptions
