#include "regionoptions.h"

#include "regions/layoutfile.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace RegionOptions {

namespace {

const QCommandLineOption kOffset(
    QStringLiteral("offset"),
    QStringLiteral("Take the chip from byte A on (decimal, or hexadecimal after 0x; K and M "
                   "count KiB and MiB): --read dumps from there, --verify compares FILE with "
                   "the chip from there, --write and --update put FILE there. The rest of the "
                   "chip is kept."),
    QStringLiteral("A"));
const QCommandLineOption kLength(
    QStringLiteral("length"),
    QStringLiteral("Take N bytes from --offset (or from 0) on, written as for --offset; "
                   "without it, to the end of the chip. FILE may be shorter, never longer."),
    QStringLiteral("N"));
const QCommandLineOption kLayout(
    QStringLiteral("layout"),
    QStringLiteral("Regions from FILE, a line \"start:end name\" each, both hexadecimal, the "
                   "end included; # begins a comment."),
    QStringLiteral("FILE"));
const QCommandLineOption
    kIfd(QStringLiteral("ifd"),
         QStringLiteral("Regions from the Intel flash descriptor in the chip's first 4 KiB: fd, "
                        "bios, me, gbe, pd, ec ... A write whose image holds a descriptor that "
                        "places them otherwise stops, naming them."));
const QCommandLineOption kFmap(QStringLiteral("fmap"),
                               QStringLiteral("Regions from the FMAP found on the chip."));
const QCommandLineOption kInclude(
    QStringLiteral("include"),
    QStringLiteral("A region the job takes, of --layout, --ifd or --fmap: NAME, or NAME:FILE; "
                   "repeat it for more. With FILE the region is read into or written from FILE "
                   "alone, else at its "
                   "own offsets in the job's FILE (a read fills the rest of that dump with "
                   "0xFF). Everything else on the chip is kept."),
    QStringLiteral("REGION"));
const QCommandLineOption kForceLayout(
    QStringLiteral("force-layout"),
    QStringLiteral("With --ifd: write an image whose descriptor differs from the chip's all "
                   "the same."));

const QCommandLineOption *const kSources[] = {&kLayout, &kIfd, &kFmap};

bool TakesRegions(const QString &job)
{
    for (const char *name : {"read", "verify", "write", "update"})
        if (job == QLatin1String(name))
            return true;
    return false;
}

bool Writes(const QString &job)
{
    return job == QLatin1String("write") || job == QLatin1String("update");
}

QString Named(const QCommandLineOption &option)
{
    return QStringLiteral("--") + option.names().constFirst();
}

// The layout sources given, by name.
QStringList Sources(const QCommandLineParser &parser)
{
    QStringList given;
    for (const QCommandLineOption *source : kSources)
        if (parser.isSet(*source))
            given << Named(*source);
    return given;
}

QVector<IncludedRegion> Includes(const QCommandLineParser &parser)
{
    QVector<IncludedRegion> included;
    for (const QString &value : parser.values(kInclude)) {
        const int colon = value.indexOf(QLatin1Char(':'));
        included.append(
            {colon < 0 ? value : value.left(colon), colon < 0 ? QString() : value.mid(colon + 1)});
    }
    return included;
}

QString BadRange(const QCommandLineParser &parser)
{
    for (const QCommandLineOption *option : {&kOffset, &kLength}) {
        quint32 value = 0;
        if (!parser.isSet(*option))
            continue;
        if (!ParseByteCount(parser.value(*option), value))
            return QStringLiteral("%1 %2: give a byte count in decimal or 0x hexadecimal, with K "
                                  "or M for KiB or MiB, below 4 GiB.")
                .arg(Named(*option), parser.value(*option));
        if (option == &kLength && value == 0)
            return QStringLiteral("--length %1 takes no byte: give at least 1.")
                .arg(parser.value(*option));
    }
    if (!Sources(parser).isEmpty() && (parser.isSet(kOffset) || parser.isSet(kLength)))
        return QStringLiteral("%1 takes a range, %2 regions: give one or the other.")
            .arg(Named(parser.isSet(kOffset) ? kOffset : kLength), Sources(parser).constFirst());
    return {};
}

QString BadIncludes(const QCommandLineParser &parser, const QString &job, const QString &fileName)
{
    const QStringList sources = Sources(parser);
    if (sources.size() > 1)
        return QStringLiteral("%1 and %2 both name the regions: give one.")
            .arg(sources[0], sources[1]);
    if (!sources.isEmpty() && !parser.isSet(kInclude))
        return QStringLiteral("%1 takes the regions --include names: give --include "
                              "NAME[:FILE].")
            .arg(sources[0]);
    if (sources.isEmpty() && parser.isSet(kInclude))
        return QStringLiteral("--include names a region of --layout, --ifd or --fmap: give one "
                              "of them.");
    QStringList names;
    QStringList files{QFileInfo(fileName).absoluteFilePath()};
    for (const IncludedRegion &include : Includes(parser)) {
        if (include.name.isEmpty())
            return QStringLiteral("--include needs a region name.");
        if (names.contains(include.name))
            return QStringLiteral("--include %1 is given twice.").arg(include.name);
        names << include.name;
        const QString given = QStringLiteral("--include %1:%2").arg(include.name, include.file);
        if (include.file.isNull())
            continue;
        if (include.file.isEmpty() || include.file == QLatin1String("-"))
            return given + QStringLiteral(" needs a file name after the colon (not -).");
        const QString file = QFileInfo(include.file).absoluteFilePath();
        if (job == QLatin1String("read") && files.contains(file))
            return given +
                   QStringLiteral(" would write a second region into %1.").arg(include.file);
        files << file;
    }
    if (parser.isSet(kForceLayout) && (!parser.isSet(kIfd) || !Writes(job)))
        return QStringLiteral("--force-layout writes an image whose descriptor differs from "
                              "the chip's: give it with --ifd and --write or --update.");
    return {};
}

// Why a write or a verify cannot take a region from the file; empty when it can.
QString UnreadableFile(const QString &fileName)
{
    QFile file(fileName);
    if (QFileInfo(fileName).isDir())
        return QStringLiteral("Cannot read region file %1: it is a folder.").arg(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot read region file %1: %2.").arg(fileName, file.errorString());
    return {};
}

// The size of a regular file, or -1 for a stream, whose size is known only once read.
qint64 SizeOfFile(const QString &fileName)
{
    const QFileInfo info(fileName);
    return fileName != QLatin1String("-") && info.isFile() ? info.size() : -1;
}

QString CheckRange(const RegionSelection &selection, const QString &job, const QString &fileName)
{
    const qint64 size = SizeOfFile(fileName);
    if (job != QLatin1String("read") && selection.length > 0 && size > selection.length)
        return QStringLiteral("%1 holds %2 bytes, more than the %3 of --length.")
            .arg(fileName)
            .arg(size)
            .arg(selection.length);
    return {};
}

// A layout file's included regions against the files that feed them.
QString CheckLayoutFiles(const SelectedRegions &selected, const QString &fileName)
{
    const qint64 imageSize = SizeOfFile(fileName);
    for (const SelectedRegion &one : selected.regions) {
        const FlashRegion &region = one.region;
        const QString described =
            QStringLiteral("region \"%1\" %2").arg(region.name, RangeText(region));
        if (one.file.isEmpty()) {
            if (imageSize >= 0 && imageSize <= region.end)
                return QStringLiteral("%1 holds %2 bytes and ends before %3 does: give the "
                                      "whole image, or --include %4:FILE.")
                    .arg(fileName)
                    .arg(imageSize)
                    .arg(described, region.name);
            continue;
        }
        const qint64 size = SizeOfFile(one.file);
        if (size >= 0 && size != region.size())
            return QStringLiteral("Region file %1 holds %2 bytes; %3 takes %4.")
                .arg(one.file)
                .arg(size)
                .arg(described)
                .arg(region.size());
    }
    return {};
}

} // namespace

QList<QCommandLineOption> Options()
{
    return {kOffset, kLength, kLayout, kIfd, kFmap, kInclude, kForceLayout};
}

bool ParseByteCount(const QString &text, quint32 &value)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:0[xX]([0-9A-Fa-f]{1,8})|([0-9]{1,10}))([KkMm]?)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    const quint64 number = match.captured(1).isEmpty()
                               ? match.captured(2).toULongLong()
                               : match.captured(1).toULongLong(nullptr, 16);
    const QString suffix = match.captured(3).toUpper();
    const quint64 bytes = number * (suffix == QLatin1String("M")   ? 1024 * 1024
                                    : suffix == QLatin1String("K") ? 1024
                                                                   : 1);
    if (bytes > 0xFFFFFFFFULL)
        return false;
    value = quint32(bytes);
    return true;
}

QString BadArgument(const QCommandLineParser &parser, const QString &job)
{
    for (const QCommandLineOption &option : Options()) {
        if (!parser.isSet(option))
            continue;
        if (!TakesRegions(job))
            return QStringLiteral("%1 takes part of the chip for --read, --verify, --write or "
                                  "--update: give one of them.")
                .arg(Named(option));
        if (option.valueName().isEmpty() || option.names() == kInclude.names())
            continue;
        if (parser.optionNames().count(option.names().constFirst()) > 1)
            return QStringLiteral("%1 is given twice.").arg(Named(option));
        if (parser.value(option).isEmpty())
            return QStringLiteral("%1 needs a value.").arg(Named(option));
    }
    const QString badRange = BadRange(parser);
    if (!badRange.isEmpty() || job.isEmpty())
        return badRange;
    return BadIncludes(parser, job, parser.value(job));
}

RegionSelection Selection(const QCommandLineParser &parser, const QString &job,
                          const QString &fileName, QString *refusal)
{
    RegionSelection selection;
    selection.included = Includes(parser);
    selection.forceLayout = parser.isSet(kForceLayout);
    if (parser.isSet(kOffset) || parser.isSet(kLength)) {
        selection.source = RegionSelection::Source::Range;
        ParseByteCount(parser.value(kOffset), selection.offset);
        ParseByteCount(parser.value(kLength), selection.length);
        *refusal = CheckRange(selection, job, fileName);
        return selection;
    }
    if (parser.isSet(kIfd))
        selection.source = RegionSelection::Source::Descriptor;
    else if (parser.isSet(kFmap))
        selection.source = RegionSelection::Source::Fmap;
    else if (parser.isSet(kLayout))
        selection.source = RegionSelection::Source::LayoutFile;
    else
        return selection;
    if (job != QLatin1String("read")) {
        for (const IncludedRegion &include : qAsConst(selection.included))
            if (!include.file.isEmpty() && refusal->isEmpty())
                *refusal = UnreadableFile(include.file);
    }
    if (selection.source != RegionSelection::Source::LayoutFile || !refusal->isEmpty())
        return selection;
    selection.layoutFileName = parser.value(kLayout);
    const LayoutFile layout = ReadLayoutFile(selection.layoutFileName);
    selection.layout = layout.regions;
    const SelectedRegions selected = IncludedRegions(layout.regions, selection.included, 0);
    if (!layout.ok())
        *refusal = layout.error + QLatin1Char('.');
    else if (!selected.ok())
        *refusal = selected.error + QStringLiteral(" (%1).").arg(selection.layoutFileName);
    else if (job != QLatin1String("read"))
        *refusal = CheckLayoutFiles(selected, fileName);
    return selection;
}

} // namespace RegionOptions
