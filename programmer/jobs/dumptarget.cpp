#include "programmer/jobs/dumptarget.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
// A full disk or a pipe may take part of the dump first; the next write names why it stopped.
bool WriteAll(QFileDevice &device, const QByteArray &dump)
{
    qint64 done = 0;
    while (done < dump.size()) {
        const qint64 count = device.write(dump.constData() + done, dump.size() - done);
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}
} // namespace

DumpTarget::DumpTarget(const QString &path)
    : m_file(path)
    , m_stream(path)
{
    struct stat info = {};
    if (path == QLatin1String("-"))
        m_kind = Kind::Stream;
    else if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        m_kind = Kind::File; // a new file; or the save file names why it cannot be made
    else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))
        m_kind = Kind::Stream;
    else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        m_kind = Kind::Refused;
}

bool DumpTarget::open()
{
    switch (m_kind) {
    case Kind::File:
        return m_file.open(QIODevice::WriteOnly) || failed(m_file);
    case Kind::Stream:
        // Unbuffered: a write error is the write's, with its reason.
        if (m_stream.fileName() == QLatin1String("-"))
            return m_stream.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                 QFileDevice::DontCloseHandle) ||
                   failed(m_stream);
        return m_stream.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || failed(m_stream);
    case Kind::Refused:
        break;
    }
    m_error = QStringLiteral("Not a regular file, a FIFO or a character device");
    return false;
}

bool DumpTarget::save(const QByteArray &dump)
{
    if (m_kind == Kind::File)
        return (WriteAll(m_file, dump) && m_file.commit()) || failed(m_file);
    const bool written = WriteAll(m_stream, dump) || failed(m_stream);
    m_stream.close();
    return written;
}

void DumpTarget::cancel()
{
    if (m_kind == Kind::File)
        m_file.cancelWriting();
    m_stream.close();
}

bool DumpTarget::failed(const QFileDevice &device)
{
    m_error = device.errorString();
    return false;
}
