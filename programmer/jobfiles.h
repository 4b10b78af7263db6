#pragma once

// The files of a job: the image it loads (a file, or "-" for standard input), the path the log
// shows, and the backup the update job keeps. Each refusal is logged. Worker thread.

#include <QByteArray>
#include <QString>

class JobLog;

// The file's absolute path as the log shows it; "-" is the standard stream.
QString ShownFileName(const QString &fileName, const QString &standardStream);
// The whole file, or false having logged why not.
bool LoadJobFile(const QString &fileName, QByteArray &contents, JobLog &log);
// Saves the chip's contents in a new file in folder, named after the part and the time, or
// logs why not.
bool SaveBackup(const QString &folder, const QString &partName, const QByteArray &chip,
                JobLog &log);
