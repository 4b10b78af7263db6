#pragma once

// DumpTarget: where the read job puts a dump. A regular file, new or old, is replaced only
// once the whole dump is written, so a failed job never destroys an earlier dump. A FIFO, a
// character device or "-" (standard output) is written in place as a stream, as dd does.
// Anything else that exists (a block device, a socket) is refused, never replaced. Worker
// thread.

#include <QFile>
#include <QSaveFile>
#include <QString>

class DumpTarget
{
public:
    explicit DumpTarget(const QString &path);

    // False, with errorString, when the target cannot take a dump.
    bool open();
    // Writes the whole dump and finishes the target; false, with errorString, otherwise.
    bool save(const QByteArray &dump);
    // Leaves a regular file as it was.
    void cancel();
    bool isStream() const { return m_kind == Kind::Stream; }
    QString errorString() const { return m_error; }

private:
    enum class Kind { File, Stream, Refused };

    bool failed(const QFileDevice &device);

    Kind m_kind = Kind::File;
    QSaveFile m_file;
    QFile m_stream;
    QString m_error;
};
