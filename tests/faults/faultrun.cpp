#include "faultrun.h"

#include <QFile>
#include <QTextStream>

QList<Job> AllJobs()
{
    return {Job::ReadId, Job::Read, Job::Write, Job::Verify, Job::Erase};
}

QString JobName(Job job)
{
    switch (job) {
    case Job::ReadId:
        return QStringLiteral("read id");
    case Job::Read:
        return QStringLiteral("read");
    case Job::Write:
        return QStringLiteral("write");
    case Job::Verify:
        return QStringLiteral("verify");
    case Job::Erase:
        return QStringLiteral("erase");
    }
    return QString();
}

void RunJob(CH341 &worker, Job job)
{
    switch (job) {
    case Job::ReadId:
        worker.DoReadID();
        break;
    case Job::Read:
        worker.DoReadFlash();
        break;
    case Job::Write:
        worker.DoWriteFlash();
        break;
    case Job::Verify:
        worker.DoVerifyFlash();
        break;
    case Job::Erase:
        worker.DoEraseFlash();
        break;
    }
}

void FileTally(const QString &name, const Tally &tally)
{
    const QString path = qEnvironmentVariable("VARNOCK_FIGURES_FILE");
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qWarning("cannot append figures to %s", qPrintable(path));
        return;
    }
    QTextStream(&file) << name << ' ' << tally.survived << ' ' << tally.tried << ' '
                       << tally.skipped << '\n';
}
