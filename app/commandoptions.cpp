#include "commandoptions.h"

#include "bridge/ch341bridges.h"

// Every option's name and description lives here, so that the help and the checks agree.
namespace CommandOptions {
const JobOption kJobs[kJobCount] = {
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
const char *const kWindowOptionsWithValue[kWindowOptionCount] = {
    "platform", "platformtheme",   "style",        "stylesheet",
    "display",  "qwindowgeometry", "qwindowtitle", "qwindowicon"};

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
const QCommandLineOption kI2cSpeed(
    QStringLiteral("i2c-speed"),
    QStringLiteral("The I2C clock of a 24xx EEPROM's job: 20, 100 (the default: every 24xx part "
                   "is rated for it at every supply voltage), 400 or 750."),
    QStringLiteral("KHZ"));
const QCommandLineOption kReadTwice(
    QStringLiteral("read-twice"),
    QStringLiteral("With --read or --update: read the whole chip twice and keep the dump (or the "
                   "backup) only when both reads agree, else name where they differ."));
// The bridge names --bridge takes, and the clocks --spi-clock takes with their kHz.
const KnownBridge kBridges[kBridgeCount] = {{"ch341a", CH341_BRIDGE_CH341A},
                                            {"ch347", CH341_BRIDGE_CH347}};
const KnownSpiClock kSpiClocks[kSpiClockCount] = {
    {"7.5", 7500}, {"15", 15000}, {"30", 30000}, {"60", 60000}};
// Identifies the chip at the default clock, then finds the fastest that reads it reliably.
const char *const kAutoSpiClock = "auto";

// The help's headings, in the order of CommandLine::OptionGroup.
const char *const kGroupHeadings[kGroupCount] = {"Jobs (one at a time):",
                                                 "Regions (part of the chip):",
                                                 "Chip:",
                                                 "Bridge:",
                                                 "Safety:",
                                                 "Output:",
                                                 "Program:"};

} // namespace CommandOptions
