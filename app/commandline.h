#pragma once

// CommandLine: the options both programs take. With a job option it runs that one job with no
// window, on the same worker, and reports it on the terminal and in the log file. Main thread.

#include "programmer/transport/i2ctransport.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <memory>
#include <vector>

class JobTrace;

class CommandLine
{
public:
    // The process's exit status.
    enum Status { Succeeded = 0, JobFailed = 1, BadArguments = 2 };
    // Where the help lists an option.
    enum class OptionGroup { Jobs, Regions, Chip, Bridge, Safety, Output, Program };

    CommandLine();
    ~CommandLine();

    // An option, listed by --help in its group: every option either program shows goes
    // through here (the demo adds its own before Parse).
    void AddOption(const QCommandLineOption &option, OptionGroup group);
    // Reads the arguments before any application object exists, so that what needs no
    // window never needs a display either.
    void Parse(int argc, char *argv[]);
    // A bad argument that the program itself found.
    void Refuse(const QString &error);
    // --spi-clock auto, in any case.
    bool AutoSpiClock() const;
    // The job cannot run as asked (the demo's chip would not be kept): Run logs the reason
    // in red instead of running it.
    void FailJob(const QString &reason);
    // The bridge --bridge names, in lower case ("ch341a", "ch347"), empty without it.
    QString ChosenBridge() const;

    // No job, help, version or bad argument: the window opens.
    bool WantsWindow() const;
    // WantsWindow, and a display to open it on; without one, a bad argument.
    bool OpensWindow();
    bool IsSet(const QCommandLineOption &option) const { return m_parser.isSet(option); }
    QString Value(const QCommandLineOption &option) const { return m_parser.value(option); }
    // The options given, by name, in order.
    QStringList OptionNames() const { return m_parser.optionNames(); }
    // Where the USB trace goes: --trace, else $VARNOCK_TRACE; empty for none.
    QString TracePath() const;

    // Prints the help, the version or what is wrong with the arguments, or runs the job;
    // returns the exit status. Needs the application object.
    int Run();

private:
    bool WantsHelp() const;
    // The options by group, with their descriptions.
    QString HelpText() const;
    bool HasDisplay() const;
    void RefuseTerminalStream(const QString &job);
    // False, having said why, when the trace file cannot be written.
    bool StartTrace();
    // Hands --bridge and --spi-clock to the bridge library, refusing values it does not take.
    void ApplyBridgeOptions(bool runsJob);
    // --i2c-speed for the job, refusing a clock the bridges do not have.
    void ApplyI2cSpeed(bool runsJob);

    struct ShownOption
    {
        OptionGroup group;
        QCommandLineOption option;
    };

    QCommandLineParser m_parser;
    // The options the help lists, in the order they were added.
    std::vector<ShownOption> m_shown;
    QString m_error;
    QString m_jobFailure;
    uint32_t m_i2cSpeedKHz = I2cTransport::kDefaultSpeedKHz;
    std::unique_ptr<JobTrace> m_trace;
};
