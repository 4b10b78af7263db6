#pragma once

// The options both programs take, with their help texts: the jobs, and the chip, bridge,
// safety, output and program options. Plain data for CommandLine. Main thread.

#include "programmer/jobs/ch341.h"

#include <QCommandLineOption>

#include <cstdint>

namespace CommandOptions {

struct JobOption
{
    const char *name;
    const char *valueName; // null: the job takes no file
    void (CH341::*run)();
    const char *description;
};
constexpr int kJobCount = 6;
extern const JobOption kJobs[kJobCount];
QCommandLineOption JobOptionOf(const JobOption &job);

extern const QCommandLineOption kYes;
extern const QCommandLineOption kAcceptSfdp;
extern const QCommandLineOption kTrace;
extern const QCommandLineOption kTraceData;
extern const char *const kTraceVariable;
extern const QCommandLineOption kPart;
extern const QCommandLineOption kVersion;
extern const QCommandLineOption kHelp;
extern const QCommandLineOption kHelpAliases;
extern const QCommandLineOption kBridge;
extern const QCommandLineOption kSpiClock;
extern const QCommandLineOption kI2cSpeed;
extern const QCommandLineOption kReadTwice;

// The window system's own options (-platform offscreen, -style ...), which the window takes.
constexpr int kWindowOptionCount = 8;
extern const char *const kWindowOptionsWithValue[kWindowOptionCount];

// The bridge names --bridge takes, and the clocks --spi-clock takes with their kHz.
struct KnownBridge
{
    const char *name;
    uint32_t bridge;
};
constexpr int kBridgeCount = 2;
extern const KnownBridge kBridges[kBridgeCount];
struct KnownSpiClock
{
    const char *megahertz;
    uint32_t kHz;
};
constexpr int kSpiClockCount = 4;
extern const KnownSpiClock kSpiClocks[kSpiClockCount];
extern const char *const kAutoSpiClock;

// The help's headings, in the order of CommandLine::OptionGroup.
constexpr int kGroupCount = 7;
extern const char *const kGroupHeadings[kGroupCount];
constexpr int kHelpWidth = 79;

} // namespace CommandOptions
