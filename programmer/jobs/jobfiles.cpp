#include "programmer/jobs/jobfiles.h"

#include "programmer/jobs/dumptarget.h"
#include "programmer/jobs/joblog.h"
#include "chipdb/chiprecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <unistd.h>

namespace {
// The largest chip in the chip list (256 MiB); no image can be longer.
constexpr int kLongestImage = 256 * 1024 * 1024;
// A job file is read in pieces of this size, so that a stream is never read past the bound.
constexpr qint64 kLoadChunk = 1024 * 1024;

// A part's name as a file name: anything a file system or a shell could take amiss becomes "_".
QString FileNamePart(QString name)
{
    static const QString kAllowed = QStringLiteral("+-._");
    for (QChar &character : name) {
        if (character.unicode() >= 128 ||
            (!character.isLetterOrNumber() && !kAllowed.contains(character)))
            character = QLatin1Char('_');
    }
    return name;
}

QString FreeBackupPath(const QString &folder, const QString &partName)
{
    const QString part = partName.isEmpty() ? QStringLiteral("chip") : FileNamePart(partName);
    const QString stem = QDir(folder).filePath(
        part + QLatin1Char('_') +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")));
    // A backup is never replaced: it may be the only copy of the firmware.
    QString path = stem + QStringLiteral(".bin");
    for (int copy = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++copy)
        path = stem + QStringLiteral("_%1.bin").arg(copy);
    return path;
}
} // namespace

QString ShownFileName(const QString &fileName, const QString &standardStream)
{
    return fileName == QLatin1String("-")
               ? standardStream
               : QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath());
}

bool LoadJobFile(const QString &fileName, QByteArray &contents, JobLog &log)
{
    QFile file(fileName);
    const bool opened =
        fileName == QLatin1String("-")
            ? file.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
            : file.open(QIODevice::ReadOnly);
    QString reason = file.errorString();
    if (opened) {
        // A stream that never ends (/dev/zero) stops one byte past the largest chip.
        contents.clear();
        while (contents.size() <= kLongestImage) {
            const QByteArray chunk = file.read(kLoadChunk);
            if (chunk.isEmpty())
                break;
            contents += chunk;
        }
        reason = file.error() != QFileDevice::NoError ? file.errorString()
                 : contents.size() > kLongestImage
                     ? QStringLiteral("Longer than the largest chip, %1 bytes").arg(kLongestImage)
                     : QString();
    }
    if (opened && reason.isEmpty())
        return true;
    log(QStringLiteral("Failed to Load/Open Binary File."), "red");
    log(QStringLiteral("Cannot Read Image File %1: %2")
            .arg(ShownFileName(fileName, QStringLiteral("standard input")), reason),
        "red");
    return false;
}

QString BackupPartName(const QList<ChipRecord> &rows)
{
    if (rows.isEmpty())
        return QString();
    const QString &name = rows.first().partName;
    const bool oneName = std::all_of(rows.cbegin(), rows.cend(), [&name](const ChipRecord &row) {
        return row.partName == name;
    });
    return oneName ? name : rows.first().id;
}

QString SaveBackup(const QString &folder, const QString &partName, const QByteArray &chip,
                   JobLog &log)
{
    QString reason = QStringLiteral("No folder given");
    if (!folder.isEmpty() && !QDir().mkpath(folder)) {
        reason = QStringLiteral("The folder cannot be made");
    } else if (!folder.isEmpty()) {
        const QString path = FreeBackupPath(folder, partName);
        // A new file, whole under its name or not there at all.
        DumpTarget backup(path);
        if (backup.open() && backup.save(chip)) {
            log(QStringLiteral("Backup of the Chip Saved in:"), "black");
            const QString shown = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
            log(shown, "blue");
            log(QStringLiteral("To Restore the Chip, Write This File Back to It (Write in the "
                               "Window, --write FILE on the Command Line)"),
                "gray");
            log.checksums(chip);
            return shown;
        }
        reason = backup.errorString();
    }
    log(QStringLiteral("Failed to Save the Backup: Nothing Was Erased."), "red");
    log(QStringLiteral("Cannot Save the Backup in %1: %2")
            .arg(QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath()), reason),
        "red");
    return QString();
}
