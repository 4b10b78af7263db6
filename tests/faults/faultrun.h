#pragma once

// What the fault tests share: the five jobs by name, a way to run one on the
// calling thread, and the tallies the test run prints and files at its end.

#include "programmer/ch341.h"

#include <QList>
#include <QMetaType>
#include <QString>

enum class Job { ReadId, Read, Write, Verify, Erase };
Q_DECLARE_METATYPE(Job)

// All five, in the order the tables list them.
QList<Job> AllJobs();
QString JobName(Job job);
// Runs the job's slot to its end on this thread.
void RunJob(CH341 &worker, Job job);

// Rows tried and rows that kept every promise, per kind of fault.
struct Tally
{
    int tried = 0;
    int survived = 0;
    int skipped = 0;
};

// Appends "<name> <survived> <tried> <skipped>" to the file named by the
// environment variable VARNOCK_FIGURES_FILE, when it is set.
void FileTally(const QString &name, const Tally &tally);
