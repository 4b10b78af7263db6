// The part of the chip a job takes: a range, or the included regions of a layout file, of the
// chip's Intel flash descriptor or of its FMAP. Resolved once the chip is identified and
// before anything else touches it.

#include "programmer/jobs/ch341.h"

#include "programmer/chips/nor/chipreader.h"
#include "programmer/jobs/dumptarget.h"
#include "programmer/jobs/jobfiles.h"
#include "programmer/jobs/jobregions.h"
#include "regions/fmap.h"

#include <QMetaMethod>

#include <algorithm>
#include <memory>
#include <vector>

namespace {
using Source = RegionSelection::Source;

QString Hex(quint32 value)
{
    return QStringLiteral("0x") + JobLog::hexAddress(value);
}

QStringList NamesOf(const QVector<SelectedRegion> &regions)
{
    QStringList names;
    for (const SelectedRegion &selected : regions)
        names << selected.region.name;
    return names;
}
} // namespace

bool CH341::ResolveRegions(int imageSize)
{
    m_regions.clear();
    if (Regions.source == Source::WholeChip)
        return true;
    // An EEPROM's jobs take the whole part: its pages are written without an erase, so the
    // update over touched units that keeps the rest of a flash chip has no counterpart there.
    if (m_eeprom) {
        m_log(QStringLiteral("Ranges and Regions Are Taken from Flash Chips Only: %1 Is an "
                             "EEPROM, Whole Part Jobs Only")
                  .arg(m_eeprom->name),
              "red");
        return false;
    }
    SelectedRegions selected;
    QVector<FlashRegion> layout = Regions.layout;
    if (Regions.source == Source::Range) {
        if (!SelectedRange(imageSize, selected))
            return false;
    } else if (Regions.included.isEmpty()) {
        selected.error = QStringLiteral("No Region Included: Name One with --include");
    } else if (Regions.source != Source::LayoutFile && !FindChipLayout(layout)) {
        return false;
    } else {
        selected = IncludedRegions(layout, Regions.included, ChipSize);
    }
    if (!selected.ok()) {
        m_log(selected.error, "red");
        return false;
    }
    m_regions = selected.regions;
    for (const SelectedRegion &region : qAsConst(m_regions))
        m_log((Regions.source == Source::Range
                   ? QStringLiteral("Range: ")
                   : QStringLiteral("Region %1: ").arg(region.region.name)) +
                  RangeText(region.region),
              "black");
    return true;
}

bool CH341::SelectedRange(int imageSize, SelectedRegions &selected)
{
    selected = RangeOfSelection(Regions, ChipSize);
    if (!selected.ok() || imageSize < 0)
        return true;
    // A write or verify takes the file's bytes from the offset; the length only bounds them.
    FlashRegion &range = selected.regions.first().region;
    if (imageSize == 0) {
        selected.error =
            QStringLiteral("The File is Empty: Nothing to Compare at %1").arg(Hex(range.start));
    } else if (uint32_t(imageSize) > range.size()) {
        selected.error = QStringLiteral("The File Is Longer than the Range %1 (%2 of %3 Bytes)")
                             .arg(RangeText(range))
                             .arg(imageSize)
                             .arg(range.size());
    } else {
        range.end = range.start + uint32_t(imageSize) - 1;
    }
    return true;
}

bool CH341::FindChipLayout(QVector<FlashRegion> &layout)
{
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    QString absent;
    if (Regions.source == Source::Descriptor) {
        QByteArray first;
        const int read = ChipSize < kDescriptorSize
                             ? 1
                             : reader.read({{0, kDescriptorSize}}, reader.wholeChipChunk(), first);
        if (read != 1) {
            m_log.routineFailure(read);
            return false;
        }
        m_chipDescriptor = ParseFlashDescriptor(first);
        layout = m_chipDescriptor.regions;
        if (m_chipDescriptor.status == FlashDescriptor::Status::Invalid)
            absent = QStringLiteral("The Chip's Flash Descriptor Is Invalid: ") +
                     m_chipDescriptor.error;
        else if (!m_chipDescriptor.found())
            absent = QStringLiteral("No Intel Flash Descriptor on the Chip");
    } else {
        // The search reads only the offsets it probes, and the whole chip only as a last resort.
        const Fmap fmap = FindFmap(ChipSize, [&](quint32 offset, quint32 length) {
            QByteArray bytes;
            return reader.read({{offset, length}}, reader.wholeChipChunk(), bytes) == 1
                       ? bytes
                       : QByteArray();
        });
        if (fmap.status == Fmap::Status::ReadFailed) {
            m_log.transferFailure();
            return false;
        }
        layout = fmap.areas;
        if (!fmap.found())
            absent = QStringLiteral("No FMAP Found on the Chip");
    }
    if (!absent.isEmpty()) {
        m_log(absent + QStringLiteral(": Nothing Was Done"), "red");
        return false;
    }
    return true;
}

bool CH341::PlaceRegionBytes(const QByteArray &image, RegionBytes &placed)
{
    placed.spans = SpansOfRegions(m_regions);
    placed.bytes = QByteArray(int(ChipSize), char(0xFF));
    for (const SelectedRegion &selected : qAsConst(m_regions)) {
        const FlashRegion &region = selected.region;
        QByteArray bytes;
        QString misfit;
        if (!selected.file.isEmpty()) {
            if (!LoadJobFile(selected.file, bytes, m_log))
                return false;
            if (uint32_t(bytes.size()) != region.size())
                misfit = QStringLiteral("The File %1 Holds %2 Bytes, Region %3 %4 Bytes")
                             .arg(ShownFileName(selected.file, QStringLiteral("standard input")))
                             .arg(bytes.size())
                             .arg(region.name)
                             .arg(region.size());
        } else if (Regions.source == Source::Range) {
            bytes = image;
        } else if (uint32_t(image.size()) <= region.end) {
            misfit = QStringLiteral("The File Ends at %1, before Region %2 Ends at %3")
                         .arg(Hex(uint32_t(image.size())), region.name, Hex(region.end));
        } else {
            bytes = image.mid(int(region.start), int(region.size()));
        }
        if (!misfit.isEmpty()) {
            m_log(misfit + QStringLiteral(": Nothing Was Done"), "red");
            return false;
        }
        placed.bytes.replace(int(region.start), bytes.size(), bytes);
    }
    return true;
}

bool CH341::ImageFitsBoard(const QByteArray &image, const RegionBytes &placed)
{
    if (Regions.source != Source::Descriptor)
        return true;
    const QStringList included = NamesOf(m_regions);
    const bool fdIncluded = included.contains(QStringLiteral("fd"));
    // What the chip's first 4 KiB will hold: the image's descriptor only where fd is written.
    const FlashDescriptor imageDescriptor =
        ParseFlashDescriptor((fdIncluded ? placed.bytes : image).left(int(kDescriptorSize)));
    QString misfit;
    if (!imageDescriptor.found()) {
        // Written over the board's descriptor, bytes that are none leave a board that does not
        // start.
        if (fdIncluded)
            misfit = QStringLiteral("The Image Holds No Flash Descriptor, but fd Is Included");
    } else {
        const DescriptorDifference difference =
            CompareDescriptors(imageDescriptor, m_chipDescriptor);
        QStringList differing;
        for (const QString &name : difference.regions)
            if (included.contains(name))
                differing << name;
        if (differing.isEmpty() && difference.bytesDiffer && !fdIncluded)
            differing = QStringList{QStringLiteral("fd")} + difference.regions;
        if (!differing.isEmpty())
            misfit = QStringLiteral("The Image's Flash Descriptor Does Not Fit the Chip's: %1 "
                                    "Differ%2")
                         .arg(differing.join(QStringLiteral(", ")),
                              differing.size() == 1 ? QStringLiteral("s") : QString());
    }
    if (misfit.isEmpty())
        return true;
    if (Regions.forceLayout) {
        m_log(misfit + QStringLiteral("; Written Anyway (--force-layout)"), "red");
        return true;
    }
    m_log(misfit + QStringLiteral(": Nothing Was Erased (--force-layout Writes It Anyway)"),
          "red");
    return false;
}

bool CH341::ChooseRegions(const QByteArray &chip, const QByteArray &image, QByteArray &wanted)
{
    if (!isSignalConnected(QMetaMethod::fromSignal(&CH341::RegionChoice_Question)))
        return true;
    const FlashDescriptor imageDescriptor = ParseFlashDescriptor(image.left(int(kDescriptorSize)));
    if (!imageDescriptor.found() || !ParseFlashDescriptor(chip).found())
        return true;
    QVector<FlashRegion> regions;
    QStringList names, ranges, changed;
    for (const FlashRegion &region : imageDescriptor.regions) {
        if (region.end >= ChipSize)
            continue;
        regions << region;
        names << region.name;
        ranges << RangeText(region);
        if (chip.mid(int(region.start), int(region.size())) !=
            wanted.mid(int(region.start), int(region.size())))
            changed << region.name;
    }
    emit RegionChoice_Question(names, ranges, changed);
    // The worker thread sleeps while the operator chooses.
    if (!m_answers.waitForYes()) {
        m_outcome = JobOutcome::Declined;
        m_log(QStringLiteral("No Region Written: the Chip Is Unchanged"), "red");
        return false;
    }
    const QStringList chosen = m_answers.regions();
    for (const FlashRegion &region : qAsConst(regions)) {
        if (chosen.contains(region.name) || !changed.contains(region.name))
            continue;
        wanted.replace(int(region.start), int(region.size()), chip.constData() + region.start,
                       int(region.size()));
        m_log(QStringLiteral("Region %1: %2 Kept as the Chip Holds It")
                  .arg(region.name, RangeText(region)),
              "black");
    }
    return true;
}

void CH341::AnswerRegionChoice(bool write, const QStringList &regions)
{
    m_answers.answer(write, regions);
}

void CH341::ReadRegions()
{
    // The range's or the regions' dumps, opened before the chip is read so that a file that
    // cannot be made costs no read.
    QVector<SelectedRegion> ownFiles, inDump;
    for (const SelectedRegion &selected : qAsConst(m_regions))
        (selected.file.isEmpty() ? inDump : ownFiles) << selected;
    QStringList paths;
    for (const SelectedRegion &selected : qAsConst(ownFiles))
        paths << selected.file;
    if (!inDump.isEmpty())
        paths << FileName;
    std::vector<std::unique_ptr<DumpTarget>> dumps;
    for (const QString &path : qAsConst(paths)) {
        dumps.push_back(std::make_unique<DumpTarget>(path));
        if (!dumps.back()->open()) {
            m_log(QStringLiteral("Failed to Load/Open Binary File."), "red");
            m_log(QStringLiteral("Cannot Create Dump File %1: %2")
                      .arg(ShownFileName(path, QStringLiteral("standard output")),
                           dumps.back()->errorString()),
                  "red");
            for (const auto &dump : dumps)
                dump->cancel();
            EndJob();
            return;
        }
    }
    // The whole-chip read configures the bridge once more before it reads; a part of the chip
    // is read on the configuration of the connection, since those 52 ms of waits would cost a
    // 64 KiB range as much as a tenth of its bytes.
    const QVector<ChipSpan> spans = SpansOfRegions(m_regions);
    QByteArray read;
    const int readResult =
        TransferFailed ? -1 : ReadSpans(spans, read, QStringLiteral("No Dump Written"));
    if (readResult != 1) {
        for (const auto &dump : dumps)
            dump->cancel();
        EndFailedRead(readResult);
        return;
    }
    if (ReadTwice)
        m_log(QStringLiteral("Both Reads Agree"), "green");
    const QByteArray chip = AtChipAddresses(spans, read, ChipSize);
    const bool range = Regions.source == Source::Range;
    for (int i = 0; i < paths.size(); ++i) {
        QByteArray contents;
        if (i < ownFiles.size())
            contents = chip.mid(int(ownFiles[i].region.start), int(ownFiles[i].region.size()));
        else
            contents = range ? read
                             : WithRegions(QByteArray(int(ChipSize), char(0xFF)),
                                           {SpansOfRegions(inDump), chip});
        if (!SaveDump(*dumps[size_t(i)],
                      ShownFileName(paths[i], QStringLiteral("standard output")), contents)) {
            EndJob();
            return;
        }
    }
    EndRead(paths.first(), dumps.front()->isStream());
}

void CH341::VerifyRegions(const QByteArray &image)
{
    RegionBytes placed;
    if (!PlaceRegionBytes(image, placed)) {
        EndJob();
        return;
    }
    m_log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    int difference = -1;
    uint8_t chipByte = 0;
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    const int compared =
        TransferFailed ? -1 : reader.compare(placed.spans, placed.bytes, difference, chipByte);
    if (compared == ChipReader::kStopped)
        LogInterrupted(QStringLiteral("While Reading"), QStringLiteral("the Chip Is Unchanged"));
    if (compared < 0) {
        m_log.routineFailure(compared);
    } else if (compared == 0) {
        m_log.ok();
        m_log(QStringLiteral("No Match Found!"), "red");
        m_log(QStringLiteral("First Difference at 0x%1: Chip 0x%2, File 0x%3")
                  .arg(JobLog::hexAddress(uint32_t(difference)), JobLog::hexByte(chipByte),
                       JobLog::hexByte(uint8_t(placed.bytes.at(difference)))),
              "red");
        m_log.lowerClockHint(m_bus.clockKHz());
    } else {
        m_log.ok();
        m_log(QStringLiteral("Match Found!"), "green");
        m_log.checksums(image);
        m_outcome = JobOutcome::Succeeded;
    }
    EndJob();
}
