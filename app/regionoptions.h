#pragma once

// The command line's region options: --offset and --length (a range), --layout FILE, --ifd
// and --fmap (regions) with --include NAME[:FILE] and --force-layout. Checked as far as they
// can be without the chip; the worker checks the rest against it. Main thread.

#include "regions/flashregion.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>

class QCommandLineParser;

namespace RegionOptions {
// The options, for the help's region group.
QList<QCommandLineOption> Options();
// What is wrong with the options as given to the job named (empty for none): a bad argument;
// empty when nothing is.
QString BadArgument(const QCommandLineParser &parser, const QString &job);
// The part of the chip the job takes on fileName; with *refusal set when the files the
// options name forbid the job (a layout that does not parse, a region file that cannot be
// read or does not fit). Only after BadArgument found nothing.
RegionSelection Selection(const QCommandLineParser &parser, const QString &job,
                          const QString &fileName, QString *refusal);
// "4096", "0x1000", "4K", "0x10M": a byte count; false unless it is one below 4 GiB.
bool ParseByteCount(const QString &text, quint32 &value);
} // namespace RegionOptions
