#pragma once

// The command line's chip-list options: --chip-list FILE, the user's list every job (and the
// window) reads after its own, and --list-parts [PATTERN], which prints the parts the lists
// know instead of running a job. Main thread.

#include <QCommandLineOption>
#include <QList>
#include <QString>

class QCommandLineParser;

namespace ChipListOptions {
// The options, for the help's chip group.
QList<QCommandLineOption> Options();
// What is wrong with the options, or empty; the chosen list is handed to the worker.
QString Apply(const QCommandLineParser &parser, int jobs);
// --list-parts takes one positional argument, its pattern.
bool TakesPattern(const QCommandLineParser &parser);
bool ListsParts(const QCommandLineParser &parser);
// One line a part on standard output, nothing else there; the exit status.
int ListParts(const QCommandLineParser &parser);
} // namespace ChipListOptions
