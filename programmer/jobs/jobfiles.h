#pragma once

// The files of a job: the image it loads (a file, or "-" for standard input), the path the log
// shows, and the backup the update job keeps. Each refusal is logged. Worker thread.

#include <QByteArray>
#include <QList>
#include <QString>

class JobLog;
struct ChipRecord;

// The file's absolute path as the log shows it; "-" is the standard stream.
QString ShownFileName(const QString &fileName, const QString &standardStream);
// The whole file, or false having logged why not.
bool LoadJobFile(const QString &fileName, QByteArray &contents, JobLog &log);
// What a backup is named after: the settled part (the operator's choice, or the one name of
// merged rows) or, where the rows of the identifier name different parts, the identifier.
// Empty for a chip known only by its SFDP table.
QString BackupPartName(const QList<ChipRecord> &rows);
// Saves the chip's contents in a new file in folder, named after the part and the time, and
// returns its path as the log showed it; or logs why not and returns an empty text.
QString SaveBackup(const QString &folder, const QString &partName, const QByteArray &chip,
                   JobLog &log);
