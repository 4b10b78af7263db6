#include "commandline.h"

#include "chiplistoptions.h"
#include "commandoptions.h"
#include "regionoptions.h"
#include "terminaljob.h"
#include "version.h"
#include "bridge/ch341bridges.h"
#include "programmer/jobs/tracelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <iterator>

#include <unistd.h>

using namespace CommandOptions;

namespace {
// "-v, --version", "--read <FILE>": as the help names an option.
QString ShownNames(const QCommandLineOption &option)
{
    QStringList names;
    for (const QString &name : option.names())
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString shown = names.join(QStringLiteral(", "));
    if (!option.valueName().isEmpty())
        shown += QStringLiteral(" <%1>").arg(option.valueName());
    return shown;
}

// The text in lines of at most kHelpWidth columns, each but the first indented to column.
QString Wrapped(const QString &text, int column)
{
    QString wrapped;
    int used = column;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (used > column && used + 1 + word.size() > kHelpWidth) {
            wrapped += QLatin1Char('\n') + QString(column, QLatin1Char(' '));
            used = column;
        } else if (used > column) {
            wrapped += QLatin1Char(' ');
            ++used;
        }
        wrapped += word;
        used += word.size();
    }
    return wrapped;
}

} // namespace

CommandLine::CommandLine()
{
    m_parser.setApplicationDescription(QStringLiteral(
        "Varnock SPI Flasher: reads, writes, verifies and erases SPI flash chips "
        "through a CH341A or CH347 programmer.\n\nWithout a job option the window opens. "
        "With one, the job runs without a window: its log goes to standard "
        "output and to the log file, and the exit status is 0 when it succeeded, "
        "1 when it failed and 2 for bad arguments.\n\nA FILE of \"-\" is standard "
        "output for --read (the log then goes to standard error) and standard "
        "input for --write, --update and --verify."));
    // "-platform offscreen" as the window system spells it.
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const JobOption &job : kJobs)
        AddOption(JobOptionOf(job), OptionGroup::Jobs);
    for (const QCommandLineOption &option : RegionOptions::Options())
        AddOption(option, OptionGroup::Regions);
    AddOption(kPart, OptionGroup::Chip);
    for (const QCommandLineOption &option : ChipListOptions::Options())
        AddOption(option, OptionGroup::Chip);
    AddOption(kBridge, OptionGroup::Bridge);
    AddOption(kSpiClock, OptionGroup::Bridge);
    AddOption(kI2cSpeed, OptionGroup::Bridge);
    AddOption(kYes, OptionGroup::Safety);
    AddOption(kAcceptSfdp, OptionGroup::Safety);
    AddOption(kReadTwice, OptionGroup::Safety);
    AddOption(kTrace, OptionGroup::Output);
    AddOption(kTraceData, OptionGroup::Output);
    AddOption(kHelp, OptionGroup::Program);
    AddOption(kVersion, OptionGroup::Program);
    QCommandLineOption helpAliases = kHelpAliases;
    helpAliases.setFlags(QCommandLineOption::HiddenFromHelp);
    m_parser.addOption(helpAliases);
    for (const char *name : kWindowOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        m_parser.addOption(option);
    }
    QCommandLineOption reverse(QStringLiteral("reverse"));
    reverse.setFlags(QCommandLineOption::HiddenFromHelp);
    m_parser.addOption(reverse);
}

CommandLine::~CommandLine() = default;

void CommandLine::AddOption(const QCommandLineOption &option, OptionGroup group)
{
    m_parser.addOption(option);
    m_shown.push_back({group, option});
}

QString CommandLine::HelpText() const
{
    const auto listed = [](const ShownOption &shown) {
        return !shown.option.flags().testFlag(QCommandLineOption::HiddenFromHelp);
    };
    int column = 0;
    for (const ShownOption &shown : m_shown) {
        if (listed(shown))
            column = qMax(column, ShownNames(shown.option).size());
    }
    column += 4; // two spaces before the names, two after
    QString text = QStringLiteral("Usage: %1 [options]\n")
                       .arg(QFileInfo(QCoreApplication::arguments().constFirst()).fileName());
    for (const QString &paragraph : m_parser.applicationDescription().split(QLatin1Char('\n')))
        text += Wrapped(paragraph, 0) + QLatin1Char('\n');
    for (int group = 0; group < int(std::size(kGroupHeadings)); ++group) {
        QString lines;
        for (const ShownOption &shown : m_shown) {
            if (int(shown.group) != group || !listed(shown))
                continue;
            const QString names = QStringLiteral("  ") + ShownNames(shown.option);
            lines += names.leftJustified(column) + Wrapped(shown.option.description(), column) +
                     QLatin1Char('\n');
        }
        if (!lines.isEmpty())
            text += QLatin1Char('\n') + QLatin1String(kGroupHeadings[group]) + QLatin1Char('\n') +
                    lines;
    }
    return text;
}

void CommandLine::Parse(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!m_parser.parse(arguments)) {
        Refuse(m_parser.errorText());
        return;
    }
    if (!m_parser.positionalArguments().isEmpty() && !ChipListOptions::TakesPattern(m_parser)) {
        Refuse(QStringLiteral("Unexpected argument '%1'.")
                   .arg(m_parser.positionalArguments().constFirst()));
        return;
    }
    int jobs = 0;
    QString jobName;
    for (const JobOption &job : kJobs) {
        const QString name = QString::fromLatin1(job.name);
        if (!m_parser.isSet(name))
            continue;
        ++jobs;
        jobName = name;
        if (m_parser.optionNames().count(name) > 1)
            Refuse(QStringLiteral("--%1 is given twice: give each job once, one job at a time.")
                       .arg(name));
        if (job.valueName && m_parser.value(name).isEmpty())
            Refuse(QStringLiteral("--%1 needs a file name.").arg(name));
        if (job.valueName && m_parser.value(name) == QLatin1String("-"))
            RefuseTerminalStream(name);
    }
    if (jobs > 1)
        Refuse(QStringLiteral(
            "One job at a time: --read, --write, --update, --verify, --erase or --identify."));
    else if (jobs == 0 && m_parser.isSet(kYes))
        Refuse(QStringLiteral(
            "--yes answers a question of a job: give --write, --update or --erase."));
    else if (jobs == 0 && m_parser.isSet(kPart))
        Refuse(QStringLiteral("--part answers a question of a job: give a job option."));
    else if (jobs == 0 && m_parser.isSet(kAcceptSfdp))
        Refuse(QStringLiteral("--accept-sfdp answers a question of a job: give a job option."));
    if (jobs <= 1)
        Refuse(RegionOptions::BadArgument(m_parser, jobName));
    if (m_parser.isSet(kReadTwice) && !m_parser.isSet(QStringLiteral("read")) &&
        !m_parser.isSet(QStringLiteral("update")))
        Refuse(QStringLiteral("--read-twice reads the chip twice for --read or --update: give "
                              "one of them (verify is a second read already)."));
    if (m_parser.isSet(kTrace) && m_parser.value(kTrace).isEmpty())
        Refuse(QStringLiteral("--trace needs a file name."));
    if (m_parser.isSet(kTraceData) && TracePath().isEmpty())
        Refuse(QStringLiteral("--trace-data says what the trace holds: give --trace FILE."));
    const QString chipListFault = ChipListOptions::Apply(m_parser, jobs);
    if (!chipListFault.isEmpty())
        Refuse(chipListFault);
    ApplyBridgeOptions(jobs > 0);
}

void CommandLine::RefuseTerminalStream(const QString &job)
{
    // "-" is standard output for the dump, standard input for an image: never a terminal,
    // which would show 8 MiB of binary or wait for typed bytes.
    const bool dump = job == QLatin1String("read");
    if (isatty(dump ? STDOUT_FILENO : STDIN_FILENO) == 1)
        Refuse(
            QStringLiteral("--%1 -: standard %2 is a terminal; redirect it to a file or a pipe.")
                .arg(job, dump ? QStringLiteral("output") : QStringLiteral("input")));
}

bool CommandLine::HasDisplay() const
{
    // Without its window system Qt aborts. No platform named means xcb; a platform other than
    // xcb or wayland (offscreen, vnc, eglfs...) needs no display server, or Qt says why.
    QString platforms = m_parser.value(QStringLiteral("platform"));
    if (platforms.isEmpty())
        platforms = qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb"));
    for (const QString &platform : platforms.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString plugin = platform.section(QLatin1Char(':'), 0, 0);
        if (plugin == QLatin1String("xcb")) {
            if (m_parser.isSet(QStringLiteral("display")) || qEnvironmentVariableIsSet("DISPLAY"))
                return true;
        } else if (!plugin.startsWith(QLatin1String("wayland")) ||
                   qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
            return true;
        }
    }
    return false;
}

QString CommandLine::ChosenBridge() const
{
    return m_parser.value(kBridge).toLower();
}

void CommandLine::ApplyBridgeOptions(bool runsJob)
{
    uint32_t bridge = CH341_BRIDGE_ANY;
    for (const auto &known : kBridges) {
        if (m_parser.value(kBridge).compare(QLatin1String(known.name), Qt::CaseInsensitive) == 0)
            bridge = known.bridge;
    }
    if (m_parser.isSet(kBridge) && bridge == CH341_BRIDGE_ANY)
        Refuse(QStringLiteral("Unknown bridge '%1': --bridge takes ch341a or ch347.")
                   .arg(m_parser.value(kBridge)));
    CH341SelectBridge(0, bridge);
    ApplyI2cSpeed(runsJob);
    if (!m_parser.isSet(kSpiClock))
        return;
    if (!runsJob)
        Refuse(QStringLiteral("--spi-clock sets the clock of a job: give a job option (the "
                              "window has a choice of its own)."));
    if (AutoSpiClock()) {
        CH341SetSpiClock(0, 0);
        return;
    }
    for (const auto &known : kSpiClocks) {
        if (m_parser.value(kSpiClock).compare(QLatin1String(known.megahertz),
                                              Qt::CaseInsensitive) == 0) {
            CH341SetSpiClock(0, known.kHz);
            return;
        }
    }
    Refuse(QStringLiteral(
               "Unknown SPI clock '%1': --spi-clock takes 7.5, 15, 30 or 60 (MHz), or auto.")
               .arg(m_parser.value(kSpiClock)));
}

void CommandLine::ApplyI2cSpeed(bool runsJob)
{
    if (!m_parser.isSet(kI2cSpeed))
        return;
    if (!runsJob)
        Refuse(QStringLiteral("--i2c-speed sets the I2C clock of a job: give a job option (the "
                              "window has a choice of its own)."));
    bool number = false;
    const uint kHz = m_parser.value(kI2cSpeed).toUInt(&number);
    if (number && I2cTransport::isSpeed(kHz)) {
        m_i2cSpeedKHz = kHz;
        return;
    }
    Refuse(QStringLiteral("Unknown I2C speed '%1': --i2c-speed takes 20, 100, 400 or 750 (kHz).")
               .arg(m_parser.value(kI2cSpeed)));
}

bool CommandLine::AutoSpiClock() const
{
    return m_parser.value(kSpiClock).compare(QLatin1String(kAutoSpiClock), Qt::CaseInsensitive) ==
           0;
}

void CommandLine::Refuse(const QString &error)
{
    if (m_error.isEmpty())
        m_error = error;
}

bool CommandLine::WantsHelp() const
{
    return m_parser.isSet(kHelp) || m_parser.isSet(kHelpAliases);
}

bool CommandLine::OpensWindow()
{
    if (!WantsWindow())
        return false;
    if (HasDisplay())
        return true;
    Refuse(QStringLiteral("No display to open the window on: a job option (--read, --write, "
                          "--update, --verify, --erase or --identify) runs the job without one."));
    return false;
}

QString CommandLine::TracePath() const
{
    return m_parser.isSet(kTrace) ? m_parser.value(kTrace) : qEnvironmentVariable(kTraceVariable);
}

void CommandLine::FailJob(const QString &reason)
{
    if (m_jobFailure.isEmpty())
        m_jobFailure = reason;
}

bool CommandLine::WantsWindow() const
{
    if (!m_error.isEmpty() || WantsHelp() || m_parser.isSet(kVersion) ||
        ChipListOptions::ListsParts(m_parser))
        return false;
    for (const JobOption &job : kJobs) {
        if (m_parser.isSet(QString::fromLatin1(job.name)))
            return false;
    }
    return true;
}

int CommandLine::Run()
{
    if (!m_error.isEmpty()) {
        Print(stderr, (m_error + QStringLiteral("\nTry --help.\n")).toLocal8Bit());
        return BadArguments;
    }
    if (WantsHelp()) {
        Print(stdout, HelpText().toLocal8Bit());
        return Succeeded;
    }
    if (m_parser.isSet(kVersion)) {
        Print(stdout,
              QStringLiteral("Varnock SPI Flasher %1\n").arg(ApplicationVersion()).toLocal8Bit());
        return Succeeded;
    }
    if (ChipListOptions::ListsParts(m_parser))
        return ChipListOptions::ListParts(m_parser);
    for (const JobOption &job : kJobs) {
        const QString name = QString::fromLatin1(job.name);
        if (!m_parser.isSet(name))
            continue;
        const QString fileName = job.valueName ? m_parser.value(name) : QString();
        const bool dumpToStandardOutput =
            job.run == &CH341::DoReadFlash && fileName == QLatin1String("-");
        if (!StartTrace())
            return BadArguments;
        TerminalJob terminal(m_parser.isSet(kYes), m_parser.isSet(kAcceptSfdp),
                             m_parser.value(kPart), dumpToStandardOutput ? stderr : stdout);
        // The options' files are checked before the programmer is touched.
        QString refusal;
        const RegionSelection regions =
            RegionOptions::Selection(m_parser, name, fileName, &refusal);
        if (!m_jobFailure.isEmpty())
            refusal = m_jobFailure;
        if (!refusal.isEmpty()) {
            if (m_trace)
                m_trace->EndUnstarted(refusal);
            return terminal.Refuse(refusal);
        }
        terminal.SetI2cSpeed(m_i2cSpeedKHz);
        return terminal.Run(job.run, fileName, regions, m_parser.isSet(kReadTwice), AutoSpiClock(),
                            m_trace.get());
    }
    return BadArguments;
}

bool CommandLine::StartTrace()
{
    const QString path = TracePath();
    if (path.isEmpty())
        return true;
    m_trace = std::make_unique<JobTrace>(
        path, m_parser.isSet(kTraceData) ? JobTrace::EveryByte : JobTrace::Summary,
        QStringLiteral("Varnock SPI Flasher %1: %2")
            .arg(ApplicationVersion(), QCoreApplication::arguments().join(QLatin1Char(' '))));
    if (m_trace->errorString().isEmpty())
        return true;
    Print(stderr, QStringLiteral("Cannot Write Trace File %1: %2\n")
                      .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()),
                           m_trace->errorString())
                      .toLocal8Bit());
    return false;
}
