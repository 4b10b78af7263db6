#include "commandline.h"

#include "chiplistoptions.h"
#include "latestvaluerelay.h"
#include "stopsignals.h"
#include "version.h"
#include "log/logfile.h"
#include "log/logwindow.h"
#include "programmer/jobs/ch341.h"
#include "bridge/ch341bridges.h"
#include "programmer/jobs/tracelog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <iterator>

#include <unistd.h>

namespace {
constexpr int kProgressIntervalMs = 100;

struct JobOption
{
    const char *name;
    const char *valueName; // null: the job takes no file
    void (CH341::*run)();
    const char *description;
};

const JobOption kJobs[] = {
    {"read", "FILE", &CH341::DoReadFlash, "Read the whole chip into FILE."},
    {"write", "FILE", &CH341::DoWriteFlash,
     "Erase the chip, then write FILE to it from address 0."},
    {"update", "FILE", &CH341::DoUpdateFlash,
     "Write FILE as --write does, after saving the chip in LOG/Backup; erase and program only "
     "what FILE changes."},
    {"verify", "FILE", &CH341::DoVerifyFlash, "Compare the chip with FILE."},
    {"erase", nullptr, &CH341::DoEraseFlash, "Erase the whole chip."},
    {"identify", nullptr, &CH341::DoReadID, "Identify the programmer and the chip."},
};

// The window system's own options (-platform offscreen, -style ...), which the window takes.
const char *const kWindowOptionsWithValue[] = {"platform",     "platformtheme", "style",
                                               "stylesheet",   "display",       "qwindowgeometry",
                                               "qwindowtitle", "qwindowicon"};

// SGR colours of the log's colour names; black stays the terminal's own colour.
const struct
{
    const char *name;
    const char *code;
} kTerminalColours[] = {{"red", "31"}, {"green", "32"}, {"blue", "34"}, {"gray", "90"}};

QCommandLineOption JobOptionOf(const JobOption &job)
{
    return job.valueName ? QCommandLineOption(QString::fromLatin1(job.name),
                                              QString::fromLatin1(job.description),
                                              QString::fromLatin1(job.valueName))
                         : QCommandLineOption(QString::fromLatin1(job.name),
                                              QString::fromLatin1(job.description));
}

const QCommandLineOption kYes(QStringLiteral("yes"),
                              QStringLiteral("When the chip is write protected, clear the "
                                             "protection and go on. Without it the job stops."));
const QCommandLineOption kAcceptSfdp(
    QStringLiteral("accept-sfdp"),
    QStringLiteral("When the chip is in no chip list but its SFDP table gives its size, use it "
                   "with those parameters. Without it the job stops."));
const QCommandLineOption kTrace(
    QStringLiteral("trace"),
    QStringLiteral("Write a trace of the job to FILE, to send with a report: each USB "
                   "exchange's direction, transfer lengths and time, its bytes when there are "
                   "64 or fewer, else the first and last 16 and their CRC-32; the worker's "
                   "trace lines; the job's outcome and its red lines. VARNOCK_TRACE=FILE does "
                   "the same, for the window too."),
    QStringLiteral("FILE"));
const QCommandLineOption
    kTraceData(QStringLiteral("trace-data"),
               QStringLiteral("Put every byte of every transfer in the trace, the chip's contents "
                              "included."));
const char *const kTraceVariable = "VARNOCK_TRACE";
const QCommandLineOption kPart(QStringLiteral("part"),
                               QStringLiteral("The part in the socket, in any case. The job "
                                              "stops when the chip's identifier is not that "
                                              "part's; where parts of different sizes share it "
                                              "and the chip does not tell which it is, the job "
                                              "stops without --part, naming them."),
                               QStringLiteral("NAME"));
const QCommandLineOption kVersion({QStringLiteral("v"), QStringLiteral("version")},
                                  QStringLiteral("Print the version."));
const QCommandLineOption kHelp({QStringLiteral("h"), QStringLiteral("help")},
                               QStringLiteral("Print this help."));
// Other spellings of --help, as Qt's own programs take them.
const QCommandLineOption kHelpAliases({QStringLiteral("?"), QStringLiteral("help-all")},
                                      QString());
const QCommandLineOption kBridge(
    QStringLiteral("bridge"),
    QStringLiteral("The programmer's bridge chip: ch341a or ch347, in any case. Without it a "
                   "CH341A is used when one is plugged in, else a CH347."),
    QStringLiteral("NAME"));
const QCommandLineOption kSpiClock(
    QStringLiteral("spi-clock"),
    QStringLiteral("The SPI clock of a CH347 for this job: 7.5, 15 (the default), 30 or 60; "
                   "auto tries 60 MHz and each lower clock on the chip's first 64 KiB and runs "
                   "the job at the first that reads it alike twice. A CH341A's clock is fixed."),
    QStringLiteral("MHZ"));
const QCommandLineOption kReadTwice(
    QStringLiteral("read-twice"),
    QStringLiteral("With --read or --update: read the whole chip twice and keep the dump (or the "
                   "backup) only when both reads agree, else name where they differ."));
// The bridge names --bridge takes, and the clocks --spi-clock takes with their kHz.
const struct
{
    const char *name;
    uint32_t bridge;
} kBridges[] = {{"ch341a", CH341_BRIDGE_CH341A}, {"ch347", CH341_BRIDGE_CH347}};
const struct
{
    const char *megahertz;
    uint32_t kHz;
} kSpiClocks[] = {{"7.5", 7500}, {"15", 15000}, {"30", 30000}, {"60", 60000}};
// Identifies the chip at the default clock, then finds the fastest that reads it reliably.
const char *const kAutoSpiClock = "auto";

// The help's headings, in the order of CommandLine::OptionGroup.
const char *const kGroupHeadings[] = {
    "Jobs (one at a time):", "Chip:", "Bridge:", "Safety:", "Output:", "Program:"};
constexpr int kHelpWidth = 79;

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

void Print(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
} // namespace

// Runs one job on the worker thread and reports it as the window does: its records go to
// standard output and to the log file, its progress to a terminal's standard error. Main thread.
class TerminalJob : public QObject
{
    Q_OBJECT

public:
    // log: standard output, or standard error when the dump goes to standard output.
    TerminalJob(bool clearProtection, bool acceptSfdp, const QString &part, FILE *log);
    ~TerminalJob() override;

    // The exit status, once the job is done.
    // readTwice: the read, or the update's backup, reads the chip twice and compares;
    // autoSpiClock: a CH347 runs the job at the fastest clock that reads the chip reliably;
    // trace: follows the job to its end; null for none.
    int Run(void (CH341::*job)(), const QString &fileName, bool readTwice, bool autoSpiClock,
            JobTrace *trace);
    // Logs why the job cannot run, in red, and ends it there; the exit status.
    int Refuse(const QString &reason);

public slots:
    // The folder of a new dump: there is no desktop to show it.
    void OpenUrl(const QUrl &) {}

private:
    void Record(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                bool UnderLine, bool NewLine);
    QByteArray Styled(const QString &text, const QColor &colour, int weightCode, bool italic,
                      bool underLine) const;
    void Answer(CH341 *worker, const QString &statusRegister);
    void AnswerUnknownChip(CH341 *worker, const QString &jedecId, qulonglong size);
    void AnswerPart(CH341 *worker, const QStringList &parts);
    // Draws the progress line now, or at the end of the current interval: a terminal
    // need not show thousands of lines a second.
    void UpdateProgress();
    void DrawProgress();
    void ClearProgress();
    // The log file that cannot be written says so, on the log and on standard error.
    void ReportMissingLogFile();
    // The exit status is the job's recorded outcome, whatever its log said.
    void Finish(CH341::JobOutcome outcome);
    // Logs the completion lines; the exit status.
    int Conclude(CH341::JobOutcome outcome);
    // The first stop signal: the worker stops at its next safe point.
    void Stop();

    const bool m_clearProtection;
    const bool m_acceptSfdp;
    const QString m_part;
    FILE *const m_log;
    const bool m_colours = isatty(fileno(m_log)) == 1;
    const bool m_showsProgress = isatty(STDERR_FILENO) == 1;
    LogFile m_logFile;
    QThread m_thread;
    QEventLoop m_loop;
    QElapsedTimer m_timer;
    // The line not ended yet: written whole, so that the progress line never splits it.
    QString m_openText;
    QByteArray m_openLine;
    QString m_status;
    qulonglong m_progress = 0;
    qulonglong m_maximum = 0;
    bool m_progressShown = false;
    bool m_progressChanged = false;
    QTimer m_progressInterval;
    LatestValueRelay<QString> m_statusRelay;
    LatestValueRelay<qulonglong> m_progressRelay;
    // The running job's worker, null once it is done.
    CH341 *m_worker = nullptr;
    StopSignals m_stopSignals{[this](int) { Stop(); }};
};

TerminalJob::TerminalJob(bool clearProtection, bool acceptSfdp, const QString &part, FILE *log)
    : m_clearProtection(clearProtection)
    , m_acceptSfdp(acceptSfdp)
    , m_part(part)
    , m_log(log)
    , m_logFile(LogFile::chooseLogFilePath(), true, true, true)
    , m_statusRelay(this,
                    [this](const QString &text) {
                        m_status = text;
                        UpdateProgress();
                    })
    , m_progressRelay(this, [this](qulonglong value) {
        m_progress = value;
        UpdateProgress();
    })
{
    m_progressInterval.setInterval(kProgressIntervalMs);
    m_progressInterval.setSingleShot(true);
    connect(&m_progressInterval, &QTimer::timeout, this, [this] {
        if (m_progressChanged)
            UpdateProgress();
    });
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "OpenUrl");
}

TerminalJob::~TerminalJob()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void TerminalJob::ReportMissingLogFile()
{
    const QString reason = LogFile::whyNoLogFile();
    if (reason.isEmpty())
        return;
    Record(reason, QColor(QStringLiteral("red")), 1, false, false, true);
    if (m_log != stderr)
        Print(stderr, (reason + QLatin1Char('\n')).toLocal8Bit());
}

int TerminalJob::Run(void (CH341::*job)(), const QString &fileName, bool readTwice,
                     bool autoSpiClock, JobTrace *trace)
{
    ReportMissingLogFile();
    auto *worker = new CH341(false, nullptr);
    worker->FileName = fileName;
    worker->ReadTwice = readTwice;
    worker->AutoSpiClock = autoSpiClock;
    worker->BackupFolder = LogFile::chooseBackupFolder();
    worker->PartName = m_part;
    if (trace)
        trace->Follow(worker);
    connect(worker, &CH341::UpdateLogWindow_Text, this, &TerminalJob::Record);
    connect(worker, &CH341::SetProgreesBar_MaxValue, this,
            [this](qulonglong maximum) { m_maximum = maximum; });
    if (m_showsProgress) {
        connect(
            worker, &CH341::Set_Label_Status_TEXT, worker,
            [this](QString text) { m_statusRelay.store(std::move(text)); }, Qt::DirectConnection);
        connect(
            worker, &CH341::UpdateProgreesBar_Value, worker,
            [this](qulonglong value) { m_progressRelay.store(value); }, Qt::DirectConnection);
    }
    connect(worker, &CH341::ClearProtection_Question, this,
            [this, worker](const QString &status) { Answer(worker, status); });
    connect(worker, &CH341::UnknownChip_Question, this,
            [this, worker](const QString &jedecId, qulonglong size) {
                AnswerUnknownChip(worker, jedecId, size);
            });
    connect(worker, &CH341::PartChoice_Question, this,
            [this, worker](const QStringList &parts) { AnswerPart(worker, parts); });
    connect(worker, &CH341::JobDone, this, [this, worker] { Finish(worker->Outcome()); });
    connect(&m_thread, &QThread::started, worker, job);
    connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    worker->moveToThread(&m_thread);
    m_worker = worker;
    m_timer.start();
    StopSignals::startShielded(m_thread);
    return m_loop.exec();
}

void TerminalJob::Stop()
{
    if (!m_worker)
        return;
    m_worker->RequestStop();
    ClearProgress();
    Print(stderr, "Stopping after the chip command in flight; a second signal ends the program "
                  "at once.\n");
}

void TerminalJob::Record(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                         bool UnderLine, bool NewLine)
{
    const std::optional<int> code = LogWindow::weightCodeFor(Weight);
    if (!code)
        return;
    m_logFile.Write(Message, NewLine);
    m_openText += Message;
    m_openLine += Styled(Message, Colour, *code, Italic, UnderLine);
    if (!NewLine) {
        UpdateProgress();
        return;
    }
    ClearProgress();
    Print(m_log, m_openLine + '\n');
    m_openText.clear();
    m_openLine.clear();
    m_status.clear();
}

QByteArray TerminalJob::Styled(const QString &text, const QColor &colour, int weightCode,
                               bool italic, bool underLine) const
{
    if (!m_colours)
        return text.toLocal8Bit();
    QByteArrayList codes;
    if (weightCode > 1)
        codes << "1";
    if (italic)
        codes << "3";
    if (underLine)
        codes << "4";
    for (const auto &known : kTerminalColours) {
        if (colour == QColor(QLatin1String(known.name)))
            codes << known.code;
    }
    if (codes.isEmpty())
        return text.toLocal8Bit();
    return "\033[" + codes.join(';') + 'm' + text.toLocal8Bit() + "\033[0m";
}

void TerminalJob::Answer(CH341 *worker, const QString &statusRegister)
{
    ClearProgress();
    Print(stderr, QStringLiteral("The chip is write protected (Status Register: 0x%1): %2\n")
                      .arg(statusRegister,
                           m_clearProtection
                               ? QStringLiteral("clearing the protection (--yes).")
                               : QStringLiteral("leaving it protected (--yes would clear it)."))
                      .toLocal8Bit());
    // The worker sleeps until it has the answer.
    worker->AnswerClearProtection(m_clearProtection);
}

void TerminalJob::AnswerUnknownChip(CH341 *worker, const QString &jedecId, qulonglong size)
{
    ClearProgress();
    Print(stderr, QStringLiteral("The chip (JEDEC ID 0x%1) is in no chip list; its SFDP table "
                                 "gives %2 bytes: %3\n")
                      .arg(jedecId)
                      .arg(size)
                      .arg(m_acceptSfdp ? QStringLiteral("using it (--accept-sfdp).")
                                        : QStringLiteral("not using it (--accept-sfdp would)."))
                      .toLocal8Bit());
    worker->AnswerClearProtection(m_acceptSfdp);
}

void TerminalJob::AnswerPart(CH341 *worker, const QStringList &parts)
{
    // Asked only without --part: the worker takes a named part without a question.
    ClearProgress();
    Print(stderr, QStringLiteral("Parts of different sizes share the chip's identifier: %1. "
                                 "--part NAME names the one in the socket.\n")
                      .arg(parts.join(QLatin1String(", ")))
                      .toLocal8Bit());
    worker->AnswerPartChoice(QString());
}

void TerminalJob::UpdateProgress()
{
    if (!m_showsProgress)
        return;
    m_progressChanged = true;
    if (m_progressInterval.isActive())
        return;
    DrawProgress();
    m_progressInterval.start();
}

void TerminalJob::DrawProgress()
{
    m_progressChanged = false;
    QString line = m_openText + m_status;
    if (!m_status.isEmpty() && m_maximum > 0)
        line += QStringLiteral(" %1%").arg(m_progress * 100 / m_maximum);
    if (line.isEmpty()) {
        ClearProgress();
        return;
    }
    Print(stderr, "\r\033[K" + line.toLocal8Bit());
    m_progressShown = true;
}

void TerminalJob::ClearProgress()
{
    // The next line is drawn as soon as it starts.
    m_progressChanged = false;
    m_progressInterval.stop();
    if (m_progressShown)
        Print(stderr, "\r\033[K");
    m_progressShown = false;
}

int TerminalJob::Refuse(const QString &reason)
{
    m_timer.start();
    ReportMissingLogFile();
    Record(reason, QColor(QStringLiteral("red")), 1, false, false, true);
    return Conclude(CH341::JobOutcome::Failed);
}

void TerminalJob::Finish(CH341::JobOutcome outcome)
{
    m_worker = nullptr;
    m_thread.quit();
    m_thread.wait();
    m_loop.exit(Conclude(outcome));
}

int TerminalJob::Conclude(CH341::JobOutcome outcome)
{
    const QColor black(QStringLiteral("black"));
    Record(
        QStringLiteral("Operation Completed. <Performed By version %1>").arg(ApplicationVersion()),
        black, 2, false, false, true);
    Record(QStringLiteral("Elapsed Time: "), black, 1, false, false, false);
    Record(QString::number(m_timer.elapsed() / 1000) + QStringLiteral(" seconds"), black, 3, false,
           false, true);
    ClearProgress();
    if (outcome == CH341::JobOutcome::Succeeded)
        return CommandLine::Succeeded;
    // A job a signal stopped ends as the signal would have ended it.
    return m_stopSignals.received() != 0 ? 128 + m_stopSignals.received() : CommandLine::JobFailed;
}

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
    AddOption(kPart, OptionGroup::Chip);
    for (const QCommandLineOption &option : ChipListOptions::Options())
        AddOption(option, OptionGroup::Chip);
    AddOption(kBridge, OptionGroup::Bridge);
    AddOption(kSpiClock, OptionGroup::Bridge);
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
    for (const JobOption &job : kJobs) {
        const QString name = QString::fromLatin1(job.name);
        if (!m_parser.isSet(name))
            continue;
        ++jobs;
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
        if (!m_jobFailure.isEmpty()) {
            if (m_trace)
                m_trace->EndUnstarted(m_jobFailure);
            return terminal.Refuse(m_jobFailure);
        }
        return terminal.Run(job.run, fileName, m_parser.isSet(kReadTwice), AutoSpiClock(),
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

#include "commandline.moc"
