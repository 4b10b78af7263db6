// Both programs run from the command line as a script runs them: no display, the exit status,
// the log on standard output and in Log.txt, and the chip of the demo's emulated programmer.

#include "failonwarning.h"
#include "testfiles.h"
#include "log/logfile.h"

#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int kChipSize = 8 * 1024 * 1024; // the demo's W25Q64FV
const QString kChipImage = QStringLiteral("data/varnock-spi-flasher-demo/virtual-w25q64fv.bin");
const QString kCompleted = QStringLiteral("Operation Completed. <Performed By version 1.0.2>");
const QString kSfdpImage = QStringLiteral("data/varnock-spi-flasher-demo/virtual-sfdp-only.bin");
// A user's chip list: a part the built-in list does not know and one it does, replaced.
const QByteArray kUserList =
    "group\tvendor\tpart\tid\tpage\tsize\tspicmd\totp\taddrtype\taddrbitlen\tscript\t"
    "protection\tidcmd\tbasis\terase\tvoltage\n"
    "SPI\tACME\tW25Q64JX\t123456\t256\t8388608\t\t\t\t\t\twinbond\t9F\tmine\t\t1650-1950\n"
    "SPI\tWINBOND\tW25Q64JW\tEF6017\t256\t8388608\t\t\t\t\t\twinbond\t9F\tmine\t\t\n";
// A row's shell command exits with this when the system cannot stage the case.
constexpr int kSkip = 77;
// The programs' Qt warnings carry this mark, so that one fails the test as the test's own would.
const QString kWarningMark = QStringLiteral("Qt warning in the program: ");

struct Finished
{
    int exitCode = -1; // -1: crashed or hung
    QStringList out;   // standard output, by line
    QString err;
};

// The runs of bytes a trace line spells in hex ("OUT 02 3: A8 F9 00" holds 02 and A8 F9 00).
QList<QByteArray> HexRuns(const QByteArray &line)
{
    QList<QByteArray> runs{QByteArray()};
    for (const QByteArray &word : line.split(' ')) {
        bool isByte = word.size() == 2;
        const uint value = isByte ? word.toUInt(&isByte, 16) : 0;
        if (isByte)
            runs.last() += char(value);
        else if (!runs.last().isEmpty())
            runs << QByteArray();
    }
    return runs;
}

// The CH341A clocks SPI least significant bit first.
QByteArray Mirrored(QByteArray bytes)
{
    for (char &byte : bytes) {
        uint8_t mirrored = 0;
        for (int bit = 0; bit < 8; ++bit)
            mirrored |= uint8_t(((uint8_t(byte) >> bit) & 1) << (7 - bit));
        byte = char(mirrored);
    }
    return bytes;
}

// What the chip sent, as a trace of every byte holds it: the CH341A's IN transfers mirrored,
// the CH347's frames without their three-byte headers, in order.
QByteArray TracedInData(const QByteArray &trace, bool ch347)
{
    QByteArray data;
    for (const QByteArray &line : trace.split('\n')) {
        if (!line.contains(ch347 ? " IN 86 " : " IN 82 "))
            continue;
        const QByteArray bytes = HexRuns(line.mid(line.indexOf(':'))).constFirst();
        data += ch347 ? bytes.mid(3) : Mirrored(bytes);
    }
    return data;
}
} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    Finished run(const QString &program, const QStringList &arguments,
                 const QString &loggingRules = QString(), const QStringList &variables = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A window would need a display and abort without one.
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-display-here"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);
        environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                           "%{if-warning}" + kWarningMark + "%{endif}%{if-critical}" +
                               kWarningMark +
                               "%{endif}%{if-category}%{category}: %{endif}"
                               "%{message}");
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        for (const QString &variable : variables)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir->path());
        process.start(program, arguments);
        Finished finished;
        if (!process.waitForFinished(5 * 60 * 1000) ||
            process.exitStatus() != QProcess::NormalExit)
            return finished;
        finished.exitCode = process.exitCode();
        finished.out = QString::fromLocal8Bit(process.readAllStandardOutput())
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        finished.err = QString::fromLocal8Bit(process.readAllStandardError());
        for (const QString &line : finished.out + finished.err.split(QLatin1Char('\n'))) {
            if (line.contains(kWarningMark))
                qWarning("%s", qPrintable(line));
        }
        return finished;
    }

    // Starts program in the test's folder, with the test's chip images and no display.
    void startInFolder(QProcess &process, const QString &program, const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir->path());
        process.start(program, arguments);
    }

    // Runs the demo on a terminal (script(1)) at a real programmer's pace and types Ctrl-C
    // once the terminal shows `when` (and again once it says it is stopping, for presses 2);
    // the terminal's output is in err.
    Finished interrupt(const QStringList &arguments, const QString &when, int presses = 1)
    {
        QProcess process;
        startInFolder(process, QStringLiteral("script"),
                      {"-qfec", "exec " VARNOCK_DEMO " " + arguments.join(' '), "/dev/null"});
        QByteArray shown;
        int typed = 0;
        while (process.state() != QProcess::NotRunning && process.waitForReadyRead(60 * 1000)) {
            shown += process.readAllStandardOutput();
            const QByteArray awaited = typed == 0 ? when.toLocal8Bit() : "Stopping after";
            if (typed < presses && shown.contains(awaited)) {
                process.write("\x03");
                ++typed;
            }
        }
        Finished finished;
        if ((process.state() != QProcess::NotRunning && !process.waitForFinished(60 * 1000)) ||
            process.exitStatus() != QProcess::NormalExit || typed < presses)
            return finished;
        shown += process.readAllStandardOutput();
        finished.exitCode = process.exitCode();
        finished.err = QString::fromLocal8Bit(shown);
        return finished;
    }

    // The lines of the day's Log.txt without their time stamps.
    QStringList filedLog() const
    {
        QDirIterator logs(m_dir->filePath(QStringLiteral("LOG/JobLog")), {"Log.txt"}, QDir::Files,
                          QDirIterator::Subdirectories);
        if (!logs.hasNext())
            return {};
        QStringList lines;
        for (const QString &line : QString::fromLocal8Bit(ReadFile(logs.next()))
                                       .split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines << line.section(QStringLiteral(" : "), 1);
        return lines;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_badInputsTried = 0, m_badInputsSurvived = 0, m_badInputsSkipped = 0;
    bool m_rowCompleted = false;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_dir->path()).mkpath(QFileInfo(path(kChipImage)).path()));
        m_rowCompleted = false;
    }

    void cleanup()
    {
        if (QTest::currentTestFunction() != QByteArray("badInputs"))
            return;
        ++m_badInputsTried;
        if (!QTest::currentTestFailed())
            ++(m_rowCompleted ? m_badInputsSurvived : m_badInputsSkipped);
    }

    // Appends "bad_inputs <survived> <tried> <skipped>" to $VARNOCK_FIGURES_FILE for CI.
    void cleanupTestCase()
    {
        QFile figures(qEnvironmentVariable("VARNOCK_FIGURES_FILE"));
        if (figures.fileName().isEmpty() || QCoreApplication::arguments().size() > 1)
            return;
        QVERIFY(figures.open(QIODevice::WriteOnly | QIODevice::Append));
        figures.write(QStringLiteral("bad_inputs %1 %2 %3\n")
                          .arg(m_badInputsSurvived)
                          .arg(m_badInputsTried)
                          .arg(m_badInputsSkipped)
                          .toLatin1());
    }

    void options_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        // A part of standard output, or of standard error for bad arguments.
        QTest::addColumn<QString>("shown");

        const QString flasher = QStringLiteral(VARNOCK_FLASHER);
        const QString demo = QStringLiteral(VARNOCK_DEMO);
        QTest::newRow("help") << flasher << QStringList{"--help"} << 0
                              << "--verify <FILE>         Compare the chip with FILE.";
        QTest::newRow("help names the update")
            << flasher << QStringList{"--help"} << 0
            << "--update <FILE>         Write FILE as --write does";
        QTest::newRow("help groups the options") << flasher << QStringList{"--help"} << 0
                                                 << "\nJobs (one at a time):\n  --read <FILE>     "
                                                    "      Read the whole chip into FILE.\n";
        QTest::newRow("help's safety options") << flasher << QStringList{"-h"} << 0
                                               << "\nSafety:\n  --yes                   When the";
        QTest::newRow("help-all is the help")
            << flasher << QStringList{"--help-all"} << 0 << "\nOutput:\n  --trace <FILE> ";
        QTest::newRow("demo help puts its chip with the chip options")
            << demo << QStringList{"--help"} << 0
            << "row.\n  --chip <NAME>           The emulated chip";
        QTest::newRow("version") << flasher << QStringList{"--version"} << 0
                                 << "Varnock SPI Flasher 1.0.2\n";
        QTest::newRow("demo help names its own options")
            << demo << QStringList{"-h"} << 0 << "--chip <NAME>";
        QTest::newRow("no programmer plugged in") << flasher << QStringList{"--identify"} << 1
                                                  << "Failed to Initialize CH341 Programmer.\n";
        QTest::newRow("unknown option")
            << flasher << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'.";
        QTest::newRow("file missing")
            << flasher << QStringList{"--read"} << 2 << "Missing value after '--read'.";
        QTest::newRow("empty file name")
            << flasher << QStringList{"--write", ""} << 2 << "--write needs a file name.";
        QTest::newRow("two jobs") << flasher << QStringList{"--read", "x.bin", "--erase"} << 2
                                  << "One job at a time";
        QTest::newRow("stray argument")
            << demo << QStringList{"--erase", "x.bin"} << 2 << "Unexpected argument 'x.bin'.";
        QTest::newRow("--yes without a job")
            << flasher << QStringList{"--yes"} << 2 << "--yes answers a question of a job";
        QTest::newRow("--accept-sfdp without a job")
            << demo << QStringList{"--accept-sfdp"} << 2
            << "--accept-sfdp answers a question of a job";
        QTest::newRow("unknown bridge") << flasher << QStringList{"--bridge", "ch999", "--erase"}
                                        << 2 << "Unknown bridge 'ch999'";
        QTest::newRow("unknown SPI clock")
            << flasher << QStringList{"--spi-clock", "45", "--erase"} << 2
            << "Unknown SPI clock '45'";
        QTest::newRow("--spi-clock without a job") << flasher << QStringList{"--spi-clock", "30"}
                                                   << 2 << "--spi-clock sets the clock of a job";
        QTest::newRow("unknown I2C speed")
            << flasher << QStringList{"--i2c-speed", "200", "--read", "x.bin"} << 2
            << "Unknown I2C speed '200': --i2c-speed takes 20, 100, 400 or 750 (kHz).";
        QTest::newRow("I2C speed not a number")
            << flasher << QStringList{"--i2c-speed", "fast", "--erase"} << 2
            << "Unknown I2C speed 'fast'";
        QTest::newRow("--i2c-speed without a job")
            << flasher << QStringList{"--i2c-speed", "400"} << 2
            << "--i2c-speed sets the I2C clock of a job";
        QTest::newRow("--read-twice without a read")
            << flasher << QStringList{"--read-twice", "--verify", "x.bin"} << 2
            << "--read-twice reads the chip twice for --read or --update";
        QTest::newRow("--bridge ch347 looks for a CH347 alone")
            << flasher << QStringList{"--bridge", "ch347", "--identify"} << 1
            << "No CH347 programmer found (USB 1a86:55db or 1a86:55de)";
        QTest::newRow("a CH347 names its clock")
            << demo
            << QStringList{"--fast", "--bridge", "ch347", "--spi-clock", "30", "--identify"} << 0
            << "CH347T 1a86:55db (emulated)\nSPI clock: 30 MHz\nCH347 variant: CH347T\n";
        QTest::newRow("a CH347 finds its clock with --spi-clock auto")
            << demo
            << QStringList{"--fast", "--bridge", "ch347", "--spi-clock", "auto", "--identify"} << 0
            << "Supply Voltage: 2.7-3.6 V\nFinding a Reliable SPI Clock... 60 MHz\nStatus "
               "Register-1: ";
        QTest::newRow("a CH341A ignores --spi-clock with one line")
            << demo << QStringList{"--fast", "--spi-clock", "60", "--identify"} << 0
            << "(emulated)\nThe CH341A clocks SPI at its own fixed rate of about 1.5 MHz: the "
               "SPI clock choice is ignored.\nCH341 variant: CH341A3\n";
        QTest::newRow("chip list") << demo << QStringList{"--chip", "list"} << 0
                                   << "W25Q80DV       1024 KiB  JEDEC ID EF4014\n";
        QTest::newRow("chip list names the serial EEPROMs by bus")
            << demo << QStringList{"--chip", "list"} << 0
            << "24C1024      131072 B    I2C EEPROM\n93C46-x8        128 B    Microwire EEPROM\n";
        QTest::newRow("unknown chip")
            << demo << QStringList{"--chip", "W25Q99", "--erase"} << 2 << "Unknown chip 'W25Q99'";
        // The lists' parts, one a line and nothing else on standard output.
        QTest::newRow("--list-parts W25Q64J, the chosen list's rows with them")
            << demo << QStringList{"--chip-list", "mine.tsv", "--list-parts", "W25Q64J"} << 0
            << "WINBOND\tW25Q64JV\tEF4017\t8388608\t256\t2.7-3.6 V\tbuilt-in list\n"
               "WINBOND\tW25Q64JV-IM\tEF7017\t8388608\t256\t2.7-3.6 V\tbuilt-in list\n"
               "WINBOND\tW25Q64JW\tEF6017\t8388608\t256\t-\tmine.tsv line 3\n"
               "WINBOND\tW25Q64JW-IM\tEF8017\t8388608\t256\t1.7-1.95 V\tbuilt-in list\n"
               "ACME\tW25Q64JX\t123456\t8388608\t256\t1.65-1.95 V\tmine.tsv line 2\n";
        QTest::newRow("--list-parts acme, the user's own list, any case")
            << flasher << QStringList{"--list-parts", "acme"} << 0
            << "ACME\tW25Q64JX\t123456\t8388608\t256\t1.65-1.95 V\t%1/data/"
               "varnock-spi-flasher/chips.tsv line 2\n";
        QTest::newRow("--list-parts, a pattern nothing has")
            << flasher << QStringList{"--list-parts", "nothing-like-it"} << 0 << "\n";
        QTest::newRow("--list-parts, a list that cannot be read")
            << flasher << QStringList{"--chip-list", "none.tsv", "--list-parts"} << 1
            << "Cannot Read Chip List none.tsv: No such file or directory\n";
        QTest::newRow("--list-parts with a job")
            << flasher << QStringList{"--list-parts", "--erase"} << 2
            << "--list-parts runs no job";
        QTest::newRow("--list-parts, two patterns")
            << flasher << QStringList{"--list-parts", "a", "b"} << 2 << "Unexpected argument 'b'.";
        QTest::newRow("--chip-list without a name")
            << flasher << QStringList{"--chip-list", "", "--erase"} << 2
            << "--chip-list needs a file name.";
        QTest::newRow("--part without a job") << flasher << QStringList{"--part", "AT25F512"} << 2
                                              << "--part answers a question of a job";
        // AT25F1024, AT25F1024A and AT25F512 share 1F60 and have no SFDP table.
        const QStringList at25f = {"--fast", "--chip", "AT25F512", "--identify"};
        QTest::newRow("parts of two sizes, no --part")
            << demo << at25f << 1
            << "Parts of Different Sizes Share this ID, None Chosen: AT25F1024, AT25F1024A, "
               "AT25F512\n";
        QTest::newRow("--part picks") << demo << at25f + QStringList{"--part", "AT25F512"} << 0
                                      << "Chosen Part no: AT25F512 Capacity (Byte): 65536\n";
        QTest::newRow("--part names a part of another id")
            << demo << at25f + QStringList{"--part", "W25Q80DV"} << 1
            << "Part W25Q80DV Has ID 0xEF4014, the Chip Answers 0x1F60: Not Used without "
               "--force-part\nFailed to Initialize CH341 Programmer.\n";
        // A part whose id is not shared: its row alone where the chip answers its id, in any
        // case; another id stops the job unless --force-part, which warns and uses the row.
        const QStringList w25q64fv = {"--fast", "--identify", "--part"};
        QTest::newRow("--part on the chip's id, its row alone")
            << demo << w25q64fv + QStringList{"w25q64fv"} << 0
            << "Vendor: WINBOND Part no: W25Q64JV Capacity (Byte): 8388608\nChosen Part no: "
               "W25Q64FV Capacity (Byte): 8388608\nSupply Voltage: 2.7-3.6 V\n";
        QTest::newRow("--part on the chip's id with --force-part, nothing forced")
            << demo << w25q64fv + QStringList{"W25Q64FV", "--force-part"} << 0
            << "Chip(s) Found based on JDEC ID: 0xEF4017\n";
        QTest::newRow("--part on another id")
            << demo << w25q64fv + QStringList{"W25Q80DV"} << 1
            << "Setting Programmer... OK\nPart W25Q80DV Has ID 0xEF4014, the Chip Answers "
               "0xEF4017: Not Used without --force-part\nFailed to Initialize CH341 "
               "Programmer.\n";
        QTest::newRow("--force-part on another id")
            << demo << w25q64fv + QStringList{"W25Q80DV", "--force-part"} << 0
            << "Setting Programmer... OK\nForced Part W25Q80DV (ID 0xEF4014) on a Chip "
               "Answering 0xEF4017: Its Facts Are Used as They Stand\nChip(s) Found based on "
               "JDEC ID: 0xEF4014\nVendor: WINBOND Part no: W25Q80DV Capacity (Byte): 1048576\n";
        QTest::newRow("--part in no list")
            << demo << w25q64fv + QStringList{"W25Q99", "--force-part"} << 1
            << "Setting Programmer... OK\nPart W25Q99 Is in No Chip List\n";
        QTest::newRow("--remember-part without --accept-sfdp")
            << demo << QStringList{"--remember-part", "XY25Q32", "--identify"} << 2
            << "--remember-part NAME keeps a chip --accept-sfdp uses: give both.";
        QTest::newRow("--force-part without --part")
            << flasher << QStringList{"--force-part", "--erase"} << 2
            << "--force-part forces the part --part names: give --part NAME.";
        QTest::newRow("help's region options") << flasher << QStringList{"--help"} << 0
                                               << "\nRegions (part of the chip):\n  --offset <A>  "
                                                  "          Take the chip from byte A";
        const QString byteCount = "give a byte count in decimal or 0x hexadecimal, with K or M "
                                  "for KiB or MiB, below 4 GiB.";
        for (const char *value : {"12Q", "0x", "1G", "4096M", "0x100000000", "1.5K"})
            QTest::newRow(qPrintable(QStringLiteral("--offset %1").arg(value)))
                << flasher << QStringList{"--offset", value, "--read", "d.bin"} << 2
                << QStringLiteral("--offset %1: ").arg(value) + byteCount;
        QTest::newRow("--length 0") << flasher << QStringList{"--length", "0x0K", "--read", "d"}
                                    << 2 << "--length 0x0K takes no byte: give at least 1.";
        QTest::newRow("--length 0, decimal")
            << flasher << QStringList{"--length", "0", "--read", "d"} << 2
            << "--length 0 takes no byte: give at least 1.";
        QTest::newRow("--offset twice")
            << flasher << QStringList{"--offset", "1", "--offset", "2", "--read", "d"} << 2
            << "--offset is given twice.";
        QTest::newRow("--offset for an erase")
            << flasher << QStringList{"--offset", "4K", "--erase"} << 2
            << "--offset takes part of the chip for "
               "--read, --verify, --write or --update";
        QTest::newRow("--ifd without a job")
            << flasher << QStringList{"--ifd"} << 2 << "--ifd takes part of the chip for --read";
        QTest::newRow("a range and a layout")
            << flasher
            << QStringList{"--length", "4K", "--ifd", "--include", "bios", "--read", "d"} << 2
            << "--length takes a range, --ifd regions: give one or the other.";
        QTest::newRow("two layouts")
            << flasher << QStringList{"--layout", "l", "--fmap", "--include", "a", "--read", "d"}
            << 2 << "--layout and --fmap both name the regions: give one.";
        QTest::newRow("a layout without --include")
            << flasher << QStringList{"--fmap", "--verify", "d"} << 2
            << "--fmap takes the regions --include names: give --include NAME[:FILE].";
        QTest::newRow("--include without a layout")
            << flasher << QStringList{"--include", "bios", "--write", "d"} << 2
            << "--include names a region of --layout, --ifd or --fmap: give one of them.";
        QTest::newRow("--include NAME: without its file")
            << flasher << QStringList{"--ifd", "--include", "bios:", "--write", "d"} << 2
            << "--include bios: needs a file name after the colon (not -).";
        QTest::newRow("--include twice")
            << flasher
            << QStringList{"--ifd", "--include", "me", "--include", "me:x", "--read", "d"} << 2
            << "--include me is given twice.";
        QTest::newRow("a read of two regions into one file")
            << flasher << QStringList{"--ifd", "--include", "me:d", "--read", "d"} << 2
            << "--include me:d would write a second region into d.";
        QTest::newRow("--force-layout without --ifd")
            << flasher
            << QStringList{"--layout", "l", "--include", "a", "--force-layout", "--write", "d"}
            << 2 << "--force-layout writes an image whose descriptor differs from the chip's";
        QTest::newRow("--force-layout on a read")
            << flasher << QStringList{"--ifd", "--include", "a", "--force-layout", "--read", "d"}
            << 2 << "give it with --ifd and --write or --update.";
        QTest::newRow("--part in any case")
            << demo << at25f + QStringList{"--part", "at25f1024a"} << 0
            << "Chosen Part no: AT25F1024A Capacity (Byte): 131072\n";
    }

    void options()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, shown);

        const bool lists = arguments.contains(QStringLiteral("--list-parts"));
        if (lists) {
            QVERIFY(WriteFile(path(QStringLiteral("mine.tsv")), kUserList));
            QVERIFY(QDir().mkpath(path(QStringLiteral("data/varnock-spi-flasher"))));
            QVERIFY(WriteFile(path(QStringLiteral("data/varnock-spi-flasher/chips.tsv")),
                              kUserList.left(kUserList.lastIndexOf("SPI\tWINBOND"))));
            shown.replace(QStringLiteral("%1"), m_dir->path());
        }
        const Finished finished = run(program, arguments);
        QCOMPARE(finished.exitCode, exitCode);
        const QString where = exitCode == 2 ? finished.err : finished.out.join('\n') + '\n';
        if (lists && exitCode != 2)
            QCOMPARE(where, exitCode == 0 ? shown : QStringLiteral("\n"));
        if (lists && exitCode == 1)
            QCOMPARE(finished.err, shown);
        if (!lists || exitCode == 2)
            QVERIFY2(where.contains(shown), qPrintable(where));
        // Bad arguments start nothing: no job, no log.
        if (exitCode == 2)
            QVERIFY(finished.out.isEmpty() && filedLog().isEmpty());
    }

    void jobs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("image"); // image.bin; null: none
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("tail"); // the job's last lines
        QTest::addColumn<QByteArray>("chipAfter");
        QTest::addColumn<QByteArray>("dumpAfter"); // dump.bin; null: not made

        const QByteArray chip = RandomBytes(kChipSize, 5);
        const QByteArray blank(kChipSize, char(0xFF));
        const QByteArray image = RandomBytes(300 * 1024 + 77, 6);
        QByteArray differing = chip.left(5000);
        differing[4321] = char(differing.at(4321) ^ 0x10);
        const QByteArray none;
        const QStringList write = {"--write", "image.bin"};
        const QStringList verify = {"--verify", "image.bin"};
        QByteArray updated = chip;
        updated.replace(0x123000, 4096, RandomBytes(4096, 8));

        // A good read, write, verify or update ends with its bytes' checksums, as sha256sum and
        // crc32 print them.
        QTest::newRow("read dumps the chip")
            << QStringList{"--read", "dump.bin"} << none << 0
            << QStringList{"Flash Chip Read File Saved in:", "%1/dump.bin", ChecksumLine(chip)}
            << chip << chip;
        QTest::newRow("read on a CH347 at 60 MHz")
            << QStringList{"--bridge", "ch347", "--spi-clock", "60", "--read", "dump.bin"} << none
            << 0
            << QStringList{"Flash Chip Read File Saved in:", "%1/dump.bin", ChecksumLine(chip)}
            << chip << chip;
        QTest::newRow("read twice, both agree")
            << QStringList{"--read-twice", "--read", "dump.bin"} << none << 0
            << QStringList{"Both Reads Agree", "Flash Chip Read File Saved in:", "%1/dump.bin",
                           ChecksumLine(chip)}
            << chip << chip;
        QTest::newRow("write programs the file")
            << write << image << 0
            << QStringList{"The File Is Smaller than the Chip (307277 of 8388608 Bytes): the Rest "
                           "of the Chip Is Erased",
                           "Erasing Chip... OK", "Writing to Chip... OK", ChecksumLine(image)}
            << image + blank.mid(image.size()) << none;
        QTest::newRow("verify, match")
            << verify << chip.left(5000) << 0
            << QStringList{"The File Is Smaller than the Chip (5000 of 8388608 Bytes): Only Its "
                           "Bytes Are Compared, the Rest of the Chip Is Not Read",
                           "Reading from Chip... OK", "Match Found!",
                           ChecksumLine(chip.left(5000))}
            << chip << none;
        QTest::newRow("update of a shorter file erases the rest, as write does")
            << QStringList{"--update", "image.bin"} << updated.left(kChipSize / 2) << 0
            << QStringList{"The File Is Smaller than the Chip (4194304 of 8388608 Bytes): the "
                           "Rest of the Chip Is Erased, as Write Leaves It",
                           "Erasing 1 Sector (4 KiB) and 64 Blocks (64 KiB)... OK",
                           "Writing to Chip... OK", ChecksumLine(updated.left(kChipSize / 2))}
            << updated.left(kChipSize / 2) + blank.mid(kChipSize / 2) << none;
        // The chip is kept in LOG/Backup beside the job logs first.
        QTest::newRow("update erases and programs one sector")
            << QStringList{"--update", "image.bin"} << updated << 0
            << QStringList{"Erasing 1 Sector (4 KiB)... OK", "Writing to Chip... OK",
                           ChecksumLine(updated)}
            << updated << none;
        // Refused before anything is read or saved: no backup either.
        QTest::newRow("update of an empty file fails")
            << QStringList{"--update", "image.bin"} << QByteArray("") << 1
            << QStringList{"The File is Empty: Nothing Was Written.",
                           "No Bytes Read from %1/image.bin"}
            << chip << none;
        QTest::newRow("verify, mismatch names the first difference")
            << verify << differing << 1
            << QStringList{"No Match Found!",
                           QStringLiteral("First Difference at 0x0010E1: Chip 0x%1, File 0x%2")
                               .arg(QString(chip.mid(4321, 1).toHex().toUpper()),
                                    QString(differing.mid(4321, 1).toHex().toUpper()))}
            << chip << none;
        QTest::newRow("erase") << QStringList{"--erase"} << none << 0
                               << QStringList{"Erasing Chip... OK"} << blank << none;
        QTest::newRow("identify")
            << QStringList{"--identify"} << none << 0
            << QStringList{"Vendor: WINBOND Part no: W25Q64JV Capacity (Byte): 8388608",
                           "Supply Voltage: 2.7-3.6 V",
                           "Status Register-1: 0x00: SRP0 0, SEC 0, TB 0, BP2 0, BP1 0, BP0 0, "
                           "WEL 0, BUSY 0",
                           "Status Register-2: 0x00: CMP 0, QE 0, SRP1 0",
                           "Status Register-3: 0x60: WPS 0",
                           "Write Protection: Off",
                           "SFDP: Capacity (Byte): 8388608, Erase Types: 4 KiB by 20h, 32 KiB by "
                           "52h, 64 KiB by D8h"}
            << chip << none;
        // The chip list names it, then refuses it: the red lines after that decide.
        QTest::newRow("identify, a 45-series chip fails")
            << QStringList{"--chip", "AT45DB161D", "--identify"} << none << 1
            << QStringList{"Vendor: ATMEL Part no: AT45DB161D Capacity (Byte): 2162688",
                           "This Software Only Support 25 Series SPI Flash your chip Series is : "
                           "45",
                           "Failed to Initialize CH341 Programmer."}
            << chip << none;
        QTest::newRow("write larger than the chip fails")
            << write << RandomBytes(kChipSize + 1, 7) << 1
            << QStringList{"insufficient Chip Storage Size! "} << chip << none;
        QTest::newRow("protected chip stays protected without --yes")
            << QStringList{"--protected", "--erase"} << none << 1
            << QStringList{"Chip is Write Protected! Status Register: 0x1C 0x00"} << chip << none;
        QTest::newRow("--yes clears the protection")
            << QStringList{"--protected", "--yes", "--erase"} << none << 0
            << QStringList{"Clearing Write Protection... OK", "Erasing Chip... OK"} << blank
            << none;
    }

    void jobs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, image);
        QFETCH(int, exitCode);
        QFETCH(QStringList, tail);
        QFETCH(QByteArray, chipAfter);
        QFETCH(QByteArray, dumpAfter);

        QVERIFY(WriteFile(path(kChipImage), RandomBytes(kChipSize, 5)));
        if (!image.isNull())
            QVERIFY(WriteFile(path(QStringLiteral("image.bin")), image));
        const Finished finished =
            run(QStringLiteral(VARNOCK_DEMO), QStringList{"--fast"} + arguments);

        QCOMPARE(finished.exitCode, exitCode);
        // Not a terminal: plain lines, no colours, no progress, no developer trace; only the
        // protection question's answer.
        QCOMPARE(finished.err.isEmpty(), !arguments.contains(QStringLiteral("--protected")));
        QVERIFY(!finished.out.join(QString()).contains(QLatin1Char('\033')));
        const QStringList &out = finished.out;
        QCOMPARE(out.mid(out.size() - tail.size() - 2, tail.size()),
                 tail.replaceInStrings("%1", QDir(m_dir->path()).canonicalPath()));
        QCOMPARE(out.value(out.size() - 2), kCompleted);
        QVERIFY2(out.last().startsWith(QLatin1String("Elapsed Time: ")), qPrintable(out.last()));
        QCOMPARE(filedLog(), out);
        QCOMPARE(ReadFile(path(kChipImage)), chipAfter);
        if (!dumpAfter.isNull())
            QCOMPARE(ReadFile(path(QStringLiteral("dump.bin"))), dumpAfter);
        QDirIterator backups(path(QStringLiteral("LOG/Backup")), {"EF4017_*_*.bin"}, QDir::Files,
                             QDirIterator::Subdirectories);
        QCOMPARE(backups.hasNext(),
                 arguments.contains(QStringLiteral("--update")) && exitCode == 0);
        if (backups.hasNext())
            QCOMPARE(ReadFile(backups.next()), RandomBytes(kChipSize, 5));
    }

    void badInputs_data()
    {
        // Each row is a shell command on a terminal (script(1)), with $DEMO, $FLASHER and
        // $HELPERS; %1 in a text stands for the folder it runs in.
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("red");   // log lines shown in red, one per line
        QTest::addColumn<QString>("plain"); // more text shown (standard error's above all)
        QTest::addColumn<QString>("dump");  // a file that ends up holding the whole chip
        QTest::addColumn<QString>("node");  // a FIFO or a device that stays one

        const QString empty = QStringLiteral("The File is Empty: Nothing Was Written.\n");
        const QString unloaded =
            QStringLiteral("Failed to Load/Open Binary File.\nCannot Read Image File ");
        const QString uncreated =
            QStringLiteral("Failed to Load/Open Binary File.\nCannot Create Dump File ");
        const QString none;
        QTest::newRow("write, a FIFO whose writer closes at once")
            << "mkfifo in.fifo && { : > in.fifo & } && $DEMO --fast --write in.fifo" << 1
            << empty + "No Bytes Read from %1/in.fifo" << none << none << "in.fifo";
        QTest::newRow("write, /dev/null")
            << "$DEMO --fast --write /dev/null" << 1 << empty + "No Bytes Read from /dev/null"
            << none << none << "/dev/null";
        QTest::newRow("write, a failed decompressor's process substitution")
            << "$DEMO --fast --write <(xz -dc < /dev/null)" << 1 << empty << none << none << none;
        QTest::newRow("write, empty standard input")
            << "$DEMO --fast --write - < /dev/null" << 1
            << empty + "No Bytes Read from standard input" << none << none << none;
        QTest::newRow("write, a stream that never ends")
            << "$DEMO --fast --write /dev/zero" << 1
            << unloaded + "/dev/zero: Longer than the largest chip, 268435456 bytes" << none
            << none << "/dev/zero";
        QTest::newRow("verify, a folder")
            << "mkdir folder && $DEMO --fast --verify folder" << 1
            << unloaded + "%1/folder: file to open is a directory" << none << none << none;
        QTest::newRow("verify, a file without read permission")
            << "chmod -R a+rwX . && echo 1 > image.bin && chmod 000 image.bin && "
               "as_user $DEMO --fast --verify image.bin"
            << 1 << unloaded + "%1/image.bin: Permission denied" << none << none << none;
        QTest::newRow("read, a character device target is written in place")
            << "mknod null c 1 3 || exit 77; $DEMO --fast --read null" << 0 << none
            << "Flash Chip Read File Saved in:" << none << "null";
        QTest::newRow("read, a FIFO target is written in place")
            << "mkfifo out.fifo && { cat out.fifo > dump.bin & } && $DEMO --fast --read out.fifo; "
               "status=$?; wait; exit $status"
            << 0 << none << "%1/out.fifo"
            << "dump.bin"
            << "out.fifo";
        QTest::newRow("read, a block device target is refused")
            << "mknod disk b 240 0 || exit 77; $DEMO --fast --read disk" << 1
            << uncreated + "%1/disk: Not a regular file, a FIFO or a character device" << none
            << none << "disk";
        QTest::newRow("read, - is standard output, the log goes to standard error")
            << "$DEMO --fast --read - > dump.bin" << 0 << none << "Flash Chip Read File Saved in:"
            << "dump.bin" << none;
        QTest::newRow("read, - into a pipe closed early")
            << "$DEMO --fast --read - | head -c 1 > /dev/null" << 1
            << "Failed to Save Binary File.\nCannot Write Dump File standard output: Broken pipe"
            << none << none << none;
        QTest::newRow("read, - on a terminal")
            << "$DEMO --fast --read -" << 2 << none << "--read -: standard output is a terminal"
            << none << none;
        QTest::newRow("unknown chip without --accept-sfdp")
            << "$DEMO --fast --chip SFDP-only --read dump.bin" << 1
            << "No Chip Found in our Database based on this Flash IDs"
            << "not using it (--accept-sfdp would)." << none << none;
        QTest::newRow("unknown chip with --accept-sfdp")
            << "$DEMO --fast --chip SFDP-only --accept-sfdp --read dump.bin" << 0 << none
            << "using it (--accept-sfdp)."
            << "dump.bin" << none;
        QTest::newRow("no display and no job")
            << "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb $FLASHER" << 2 << none
            << "No display to open the window on: a job option (--read, --write, --update, "
               "--verify, --erase or --identify) runs the job without one."
            << none << none;
        QTest::newRow("--chip list with a job")
            << "$DEMO --chip list --erase" << 2 << none
            << "\"--chip list\" names the chips and takes no other option." << none << none;
        QTest::newRow("demo chip that cannot be saved")
            << ": > file && XDG_DATA_HOME=$PWD/file $DEMO --fast --erase" << 1
            << "Cannot Save the Emulated Chip in "
               "%1/file/varnock-spi-flasher-demo/virtual-w25q64fv.bin: Not a directory"
            << none << none << none;
        QTest::newRow("a job given twice")
            << "$DEMO --fast --erase --erase" << 2 << none
            << "--erase is given twice: give each job once, one job at a time." << none << none;
        QTest::newRow("a job given twice with two files")
            << "$DEMO --fast --read a.bin --read b.bin" << 2 << none
            << "--read is given twice: give each job once, one job at a time." << none << none;
        QTest::newRow("two different jobs")
            << "$DEMO --fast --verify a.bin --write b.bin" << 2 << none
            << "One job at a time: --read, --write, --update, --verify, --erase or --identify."
            << none << none;
        QTest::newRow("--part of another identifier, on a chip with one size")
            << "$DEMO --fast --part NOSUCH --read dump.bin; status=$?; "
               "test ! -e dump.bin || exit 3; exit $status"
            << 1 << "Part NOSUCH Is in No Chip List\nFailed to Initialize CH341 Programmer."
            << none << none << none;
        QTest::newRow("--part of another identifier stops a write")
            << "echo 1 > image.bin && $DEMO --fast --part W25Q80DV --write image.bin" << 1
            << "Part W25Q80DV Has ID 0xEF4014, the Chip Answers 0xEF4017: Not Used without "
               "--force-part"
            << none << none << none;
        QTest::newRow("--part of the chip, in lower case")
            << "$DEMO --fast --part w25q64fv --read dump.bin" << 0 << none
            << "Flash Chip Read File Saved in:"
            << "dump.bin" << none;
        QTest::newRow("--bridge in capitals") << "$DEMO --fast --bridge CH347 --read dump.bin" << 0
                                              << none << "CH347T 1a86:55db (emulated)"
                                              << "dump.bin" << none;
        QTest::newRow("--bridge in mixed case on the real program")
            << "$FLASHER --bridge Ch341A --identify" << 1
            << "No CH341A programmer found (USB 1a86:5512): check the cable and the mode jumper "
               "(1-2 for SPI)."
            << none << none << none;
        QTest::newRow("--trace-data without a trace")
            << "$DEMO --fast --trace-data --erase" << 2 << none
            << "--trace-data says what the trace holds: give --trace FILE." << none << none;
        QTest::newRow("trace file in a missing folder")
            << "$DEMO --fast --trace no/trace.txt --erase" << 2 << none
            << "Cannot Write Trace File %1/no/trace.txt: No such file or directory" << none
            << none;
    }

    void badInputs()
    {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, red);
        QFETCH(QString, plain);
        QFETCH(QString, dump);
        QFETCH(QString, node);
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("no script(1) to give the program a terminal");
        const QByteArray chip = RandomBytes(kChipSize, 5);
        const QByteArray sfdpChip = RandomBytes(4 * 1024 * 1024, 6);
        QVERIFY(WriteFile(path(kChipImage), chip) && WriteFile(path(kSfdpImage), sfdpChip));

        // The nobody user runs a row where permissions must bite root too.
        const QString asUser = QStringLiteral(
            "as_user() { if [ \"$(id -u)\" -ne 0 ]; then \"$@\"; "
            "else \"$HELPERS/run-unprivileged.sh\" \"$@\"; fi; }; set -o pipefail; ");
        const Finished finished =
            run(script, {"-qec", asUser + command, "/dev/null"}, QString(),
                {"SHELL=/bin/bash", "DEMO=" VARNOCK_DEMO, "FLASHER=" VARNOCK_FLASHER,
                 "HELPERS=" VARNOCK_FAULT_HELPERS});
        if (finished.exitCode == kSkip)
            QSKIP("the system cannot stage this case here");
        const QString shown = finished.out.join('\n');
        QCOMPARE(finished.exitCode, exitCode);
        const QString folder = QDir(m_dir->path()).canonicalPath();
        for (const QString &line : red.split('\n', Qt::SkipEmptyParts)) {
            const QString coloured = "\033[31m" + QString(line).replace("%1", folder) + "\033[0m";
            QVERIFY2(shown.contains(coloured), qPrintable(shown));
        }
        QVERIFY2(shown.contains(QString(plain).replace("%1", folder)), qPrintable(shown));
        // Nothing is lost: neither chip nor the FIFO or device named.
        QCOMPARE(ReadFile(path(kChipImage)), chip);
        QCOMPARE(ReadFile(path(kSfdpImage)), sfdpChip);
        if (!dump.isEmpty()) // of the chip in the socket
            QCOMPARE(ReadFile(path(dump)), command.contains("SFDP-only") ? sfdpChip : chip);
        const QFileInfo special(QDir(m_dir->path()), node);
        QVERIFY(node.isEmpty() || (special.exists() && !special.isFile() && !special.isDir()));
        m_rowCompleted = true;
    }

    // Refused before the programmer is touched: one red line, then the end of the job.
    void regionRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("layout"); // board.layout
        QTest::addColumn<int>("imageSize");  // image.bin
        QTest::addColumn<int>("regionSize"); // region.bin
        QTest::addColumn<QString>("red");
        const QString board =
            "# a board\n0:fff fd\n1000:2fff me\n3000:7fffff bios\n0:7fffff all\n";
        const QStringList layout = {"--layout", "board.layout"};
        QTest::newRow("file longer than --length")
            << QStringList{"--offset", "0x1000", "--length", "4K", "--write", "image.bin"} << ""
            << 4097 << 0 << "image.bin holds 4097 bytes, more than the 4096 of --length.";
        QTest::newRow("layout line without a name")
            << layout + QStringList{"--include", "fd", "--read", "d.bin"}
            << "0:fff fd\n1000:2fff\n"
            << 0 << 0 << "Layout file board.layout, line 2: the range \"1000:2fff\" has no name.";
        QTest::newRow("included regions overlap")
            << layout + QStringList{"--include", "me", "--include", "all", "--write", "image.bin"}
            << board << 0x800000 << 0
            << "Included regions \"me\" 0x001000-0x002FFF (line 3) and \"all\" 0x000000-0x7FFFFF "
               "(line 5) overlap (board.layout).";
        QTest::newRow("include names not in the layout")
            << layout + QStringList{"--include", "BIOS", "--include", "me",
                                    "--include", "gbe",  "--read",    "d.bin"}
            << board << 0 << 0
            << "No regions named \"BIOS\", \"gbe\" in the layout (board.layout).";
        QTest::newRow("region file one byte short")
            << layout + QStringList{"--include", "me:region.bin", "--update", "image.bin"} << board
            << 0 << 0x1FFF
            << "Region file region.bin holds 8191 bytes; region \"me\" 0x001000-0x002FFF takes "
               "8192.";
        QTest::newRow("image ending inside its region")
            << layout + QStringList{"--include", "fd", "--include", "me", "--write", "image.bin"}
            << board << 0x2FFF << 0
            << "image.bin holds 12287 bytes and ends before region \"me\" 0x001000-0x002FFF does: "
               "give the whole image, or --include me:FILE.";
        QTest::newRow("descriptor region file missing")
            << QStringList{"--ifd", "--include", "bios:bios.bin", "--write", "image.bin"} << ""
            << 0 << 0 << "Cannot read region file bios.bin: No such file or directory.";
    }
    void regionRefusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, layout);
        QFETCH(int, imageSize);
        QFETCH(int, regionSize);
        QFETCH(QString, red);
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("no script(1) to give the program a terminal");
        QVERIFY(layout.isEmpty() || WriteFile(path("board.layout"), layout.toUtf8()));
        QVERIFY(!imageSize || WriteFile(path("image.bin"), RandomBytes(imageSize, 3)));
        QVERIFY(!regionSize || WriteFile(path("region.bin"), RandomBytes(regionSize, 4)));
        // The real program, with no programmer: a line of the connection would show it tried.
        const Finished finished =
            run(script, {"-qec", VARNOCK_FLASHER " " + arguments.join(' '), "/dev/null"});
        QCOMPARE(finished.exitCode, 1);
        QCOMPARE(finished.out.size(), 3);
        QCOMPARE(finished.out[0].trimmed(), "\033[31m" + red + "\033[0m");
        QVERIFY(finished.out[1].contains(kCompleted));
        QVERIFY(!QFile::exists(path("d.bin")));
    }

    void interruptedJobs_data()
    {
        QTest::addColumn<QString>("job");
        QTest::addColumn<QString>("when"); // on the terminal when Ctrl-C is typed
        QTest::addColumn<QString>("line"); // the red line; (\\w+) an address, (.+) the backup
        QTest::addColumn<QString>("left"); // what the chip holds by that line
        QTest::newRow("write, erasing") << "--write"
                                        << "Erasing Chip... Chip Erasing in Progress."
                                        << "Interrupted While Erasing: the Whole Chip Is Erased"
                                        << "erased";
        QTest::newRow("write, programming")
            << "--write"
            << "Writing to Chip... Write ["
            << "Interrupted While Writing: Bytes 0x000000 to 0x(\\w+) Were Written, the Rest of "
               "the Chip Is Erased"
            << "written";
        QTest::newRow("write, reading back")
            << "--write"
            << "Writing to Chip... Read ["
            << "Interrupted While Verifying: the File Was Written but Not All Read Back"
            << "file";
        QTest::newRow("update, reading the backup")
            << "--update"
            << "Reading from Chip... Read ["
            << "Interrupted While Reading: the Chip Is Unchanged, No Backup Was Saved"
            << "unchanged";
        QTest::newRow("update, erasing")
            << "--update"
            << "Sectors (4 KiB)... Chip Erasing in Progress."
            << "Interrupted While Erasing: What the File Changes below 0x(\\w+) Was Erased, the "
               "Rest of the Chip Is Unchanged; the Backup Is (.+)"
            << "units erased";
        QTest::newRow("update, programming")
            << "--update"
            << "Writing to Chip... Write ["
            << "Interrupted While Writing: Bytes 0x000000 to 0x(\\w+) Hold the File, Beyond Them "
               "What It Changes Is Erased and the Rest Is as It Was; the Backup Is (.+)"
            << "updated";
        QTest::newRow("erase, checking the erase")
            << "--erase"
            << "Erasing Chip... Read ["
            << "Interrupted While Checking the Erase: the Whole Chip Is Erased but Not All Read "
               "Back"
            << "erased";
        QTest::newRow("read") << "--read"
                              << "Read ["
                              << "Interrupted While Reading: the Chip Is Unchanged, No File Was "
                                 "Saved"
                              << "unchanged";
        QTest::newRow("verify") << "--verify"
                                << "Reading from Chip... Read ["
                                << "Interrupted While Reading: the Chip Is Unchanged"
                                << "unchanged";
    }

    // Ctrl-C in the middle of a job: the command in flight ends, one red line says what the
    // chip holds, and the demo's chip file holds exactly that.
    void interruptedJobs()
    {
        QFETCH(QString, job);
        QFETCH(QString, when);
        QFETCH(QString, line);
        QFETCH(QString, left);
        if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
            QSKIP("no script(1) to give the program a terminal");
        constexpr int kSize = 1024 * 1024;  // a W25Q80DV
        constexpr int kChanged = 4 * 65536; // the update changes the first 4 blocks
        const QString chipImage =
            QStringLiteral("data/varnock-spi-flasher-demo/virtual-w25q80dv.bin");
        const QByteArray before = RandomBytes(kSize, 5);
        QByteArray image = RandomBytes(kSize, 6);
        if (job == QLatin1String("--update"))
            image = image.left(kChanged) + before.mid(kChanged);
        QVERIFY(WriteFile(path(chipImage), before));
        QVERIFY(WriteFile(path(QStringLiteral("image.bin")), image));

        const QStringList file = job == QLatin1String("--erase")  ? QStringList()
                                 : job == QLatin1String("--read") ? QStringList{"dump.bin"}
                                                                  : QStringList{"image.bin"};
        if (job == QLatin1String("--verify"))
            QVERIFY(WriteFile(path(QStringLiteral("image.bin")), before));
        const Finished finished = interrupt(QStringList{"--chip", "W25Q80DV", job} + file, when);
        QCOMPARE(finished.exitCode, 130);
        const QRegularExpressionMatch red =
            QRegularExpression("\033\\[31m(" + line + ")\033\\[0m").match(finished.err);
        QVERIFY2(red.hasMatch(), qPrintable(finished.err));
        QVERIFY(filedLog().join('\n').contains(red.captured(1)));
        const int bound = red.captured(2).toInt(nullptr, 16); // the last byte written, or past
        const QString backup = red.captured(3);

        QByteArray expected = before;
        if (left == QLatin1String("erased"))
            expected.fill(char(0xFF));
        else if (left == QLatin1String("written"))
            expected = image.left(bound + 1) + QByteArray(kSize - bound - 1, char(0xFF));
        else if (left == QLatin1String("file"))
            expected = image;
        else if (left == QLatin1String("units erased"))
            expected.replace(0, bound, QByteArray(bound, char(0xFF)));
        else if (left == QLatin1String("updated"))
            expected.replace(0, kChanged, QByteArray(kChanged, char(0xFF)))
                .replace(0, bound + 1, image.left(bound + 1));
        QVERIFY(ReadFile(path(chipImage)) == expected);
        QVERIFY(!QFile::exists(path(QStringLiteral("dump.bin"))));
        QDirIterator backups(path(QStringLiteral("LOG/Backup")), QDir::Files,
                             QDirIterator::Subdirectories);
        QCOMPARE(backups.hasNext(), !backup.isEmpty());
        if (!backup.isEmpty())
            QVERIFY(ReadFile(backup) == before);
    }

    // A second Ctrl-C does not wait for the command in flight.
    void secondInterruptEndsAtOnce()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
            QSKIP("no script(1) to give the program a terminal");
        QVERIFY(WriteFile(path(QStringLiteral("image.bin")), RandomBytes(1024 * 1024, 6)));
        const Finished finished = interrupt({"--chip", "W25Q80DV", "--write", "image.bin"},
                                            "Erasing Chip... Chip Erasing in Progress.", 2);
        QCOMPARE(finished.exitCode, 130);
        QVERIFY2(!finished.err.contains(QStringLiteral("Interrupted")), qPrintable(finished.err));
        QVERIFY(!finished.err.contains(QStringLiteral("Operation Completed.")));
    }

    // Two programs, one programmer: the second ends at once, while the first still runs, and
    // the first's write is whole.
    void secondProgramOnTheChip_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::newRow("CH341A") << "ch341a";
        QTest::newRow("CH347") << "ch347";
    }

    void secondProgramOnTheChip()
    {
        QFETCH(QString, bridge);
        const QByteArray first = RandomBytes(1024 * 1024, 6);
        QVERIFY(WriteFile(path(QStringLiteral("first.bin")), first));
        QVERIFY(WriteFile(path(QStringLiteral("second.bin")), RandomBytes(1024 * 1024, 7)));
        QProcess firstJob;
        startInFolder(firstJob, QStringLiteral(VARNOCK_DEMO),
                      {"--chip", "W25Q80DV", "--bridge", bridge, "--write", "first.bin"});
        QByteArray firstOut;
        while (!firstOut.contains("Connecting to Programmer... OK") &&
               firstJob.waitForReadyRead(60 * 1000))
            firstOut += firstJob.readAllStandardOutput();
        QVERIFY(firstOut.contains("Connecting to Programmer... OK"));

        const Finished second =
            run(QStringLiteral(VARNOCK_DEMO),
                {"--chip", "W25Q80DV", "--bridge", bridge, "--write", "second.bin"});
        QCOMPARE(firstJob.state(), QProcess::Running);
        QCOMPARE(second.exitCode, 1);
        QCOMPARE(second.out.mid(0, 3),
                 QStringList({"Connecting to Programmer... Fail!",
                              "The programmer is in use by another program (or a driver holds "
                              "it): let that job end, then try again.",
                              "Failed to Initialize CH341 Programmer."}));

        QVERIFY(firstJob.waitForFinished(120 * 1000));
        QCOMPARE(firstJob.exitCode(), 0);
        QVERIFY(ReadFile(path(QStringLiteral(
                    "data/varnock-spi-flasher-demo/virtual-w25q80dv.bin"))) == first);
    }

    // A working folder that takes no LOG folder and a program folder the user cannot write:
    // the job runs, and its log and standard error say why no log file is written.
    void noLogFolder()
    {
        const QString command = QStringLiteral(
            "chmod -R a+rwX . && : > LOG && exec \"$HELPERS/run-unprivileged.sh\" \"$DEMO\" "
            "--fast --identify");
        const Finished finished = run(QStringLiteral("/bin/sh"), {"-c", command}, QString(),
                                      {"DEMO=" VARNOCK_DEMO, "HELPERS=" VARNOCK_FAULT_HELPERS});
        if (finished.exitCode == kSkip)
            QSKIP("cannot run as an unprivileged user here");
        QCOMPARE(finished.exitCode, 0);
        const QString line =
            QStringLiteral("No Log File Is Written: Cannot Make %1/LOG/JobLog/%2 (Not a "
                           "directory), Cannot Write %3/Log.txt (Permission denied)")
                .arg(QDir(m_dir->path()).canonicalPath(),
                     LogFile::dateFolderName(QDateTime::currentDateTime(), QLocale::system()),
                     QFileInfo(QStringLiteral(VARNOCK_DEMO)).absolutePath());
        QCOMPARE(finished.out.value(0), line);
        QCOMPARE(finished.err, line + QLatin1Char('\n'));
    }

    void eachChipHasItsOwnImage()
    {
        const QByteArray chip = RandomBytes(1024 * 1024, 9);
        QVERIFY(WriteFile(
            path(QStringLiteral("data/varnock-spi-flasher-demo/virtual-w25q80dv.bin")), chip));
        const Finished finished = run(QStringLiteral(VARNOCK_DEMO),
                                      {"--fast", "--chip", "w25q80dv", "--read", "dump.bin"});
        QCOMPARE(finished.exitCode, 0);
        QCOMPARE(ReadFile(path(QStringLiteral("dump.bin"))), chip);
        QVERIFY(!QFile::exists(path(kChipImage)));
    }

    void traceWhenAsked()
    {
        // The job rows show a quiet standard error; the developer's trace is one rule away.
        Finished finished = run(QStringLiteral(VARNOCK_DEMO), {"--fast", "--erase"},
                                QStringLiteral("varnock.trace.debug=true"));
        QCOMPARE(finished.exitCode, 0);
        QVERIFY2(finished.err.contains(QStringLiteral("st \"03\"")), qPrintable(finished.err));
        // --trace or VARNOCK_TRACE puts it in a file, with every USB transfer.
        for (const QStringList &option : {QStringList{"--trace", "trace.txt"}, QStringList{}}) {
            finished =
                run(QStringLiteral(VARNOCK_DEMO), QStringList{"--fast", "--identify"} + option,
                    QString(),
                    option.isEmpty() ? QStringList{"VARNOCK_TRACE=trace.txt"} : QStringList());
            QCOMPARE(finished.exitCode, 0);
            QVERIFY2(finished.err.isEmpty(), qPrintable(finished.err));
            const QByteArray trace = ReadFile(path(QStringLiteral("trace.txt")));
            QVERIFY(trace.contains(" OUT 02 ") && trace.contains(" IN 82 1: ") &&
                    trace.contains(" varnock.trace: chipver "));
            QVERIFY(QFile::remove(path(QStringLiteral("trace.txt"))));
        }
    }

    void traceOfARead_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::addColumn<bool>("everyByte"); // --trace-data
        QTest::newRow("CH341A") << "ch341a" << false;
        QTest::newRow("CH347") << "ch347" << false;
        QTest::newRow("CH341A, --trace-data") << "ch341a" << true;
        QTest::newRow("CH347, --trace-data") << "ch347" << true;
    }

    // A trace is safe to attach: it holds no run of the chip's contents a key or a serial
    // number fits in, unless --trace-data asks for all of them. Both end with the outcome.
    void traceOfARead()
    {
        QFETCH(QString, bridge);
        QFETCH(bool, everyByte);
        const QByteArray chip = RandomBytes(kChipSize, 5);
        QVERIFY(WriteFile(path(kChipImage), chip));
        QStringList arguments = {"--fast",   "--bridge", bridge,     "--read",
                                 "dump.bin", "--trace",  "trace.txt"};
        if (everyByte)
            arguments << "--trace-data";
        const Finished finished = run(QStringLiteral(VARNOCK_DEMO), arguments);
        QCOMPARE(finished.exitCode, 0);
        QCOMPARE(ReadFile(path(QStringLiteral("dump.bin"))), chip);
        const QByteArray trace = ReadFile(path(QStringLiteral("trace.txt")));
        QVERIFY2(trace.endsWith(" job outcome: Succeeded\n"), trace.right(200).constData());
        const bool ch347 = bridge == QLatin1String("ch347");
        if (everyByte) {
            const QByteArray data = TracedInData(trace, ch347);
            int from = 0;
            for (int offset = 0; offset < kChipSize && from >= 0; offset += 4096) {
                from = data.indexOf(chip.mid(offset, 4096), from);
                QVERIFY2(from >= 0, qPrintable(QStringLiteral("no bytes at 0x%1 in the trace")
                                                   .arg(offset, 6, 16, QLatin1Char('0'))));
            }
            return;
        }
        QVERIFY2(trace.size() < 1000 * 1000, qPrintable(QString::number(trace.size())));
        constexpr int kRun = 64;
        for (const QByteArray &line : trace.split('\n')) {
            for (const QByteArray &run : HexRuns(line)) {
                for (int at = 0; at + kRun <= run.size(); ++at) {
                    const QByteArray piece = run.mid(at, kRun);
                    QVERIFY2(!chip.contains(ch347 ? piece : Mirrored(piece)), line.constData());
                }
            }
        }
    }

    void traceOfAFailedJob_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("variables");
        QTest::addColumn<QStringList>("ending"); // the trace's last lines, without their times
        QTest::newRow("a part of another identifier")
            << QStringList{"--part", "W25Q80DV", "--erase"} << QStringList()
            << QStringList{"job outcome: Failed",
                           "red line: Part W25Q80DV Has ID 0xEF4014, the Chip Answers 0xEF4017: "
                           "Not Used without --force-part",
                           "red line: Failed to Initialize CH341 Programmer."};
        QTest::newRow("a job that cannot start")
            << QStringList{"--erase"} << QStringList{"XDG_DATA_HOME=/dev/null"}
            << QStringList{"job outcome: Failed",
                           "red line: Cannot Save the Emulated Chip in /dev/null/"
                           "varnock-spi-flasher-demo/virtual-w25q64fv.bin: Not a directory"};
    }

    void traceOfAFailedJob()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, variables);
        QFETCH(QStringList, ending);
        const Finished finished =
            run(QStringLiteral(VARNOCK_DEMO),
                QStringList{"--fast", "--trace", "trace.txt"} + arguments, QString(), variables);
        QCOMPARE(finished.exitCode, 1);
        QStringList lines;
        for (const QByteArray &line : ReadFile(path(QStringLiteral("trace.txt"))).split('\n'))
            lines << QString::fromUtf8(line).trimmed().section(QLatin1Char(' '), 1);
        QCOMPARE(lines.mid(lines.size() - ending.size() - 1), ending + QStringList(QString()));
    }

    void terminalGetsColoursAndProgress()
    {
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("no script(1) to give the program a terminal");
        QVERIFY(WriteFile(path(QStringLiteral("image.bin")), RandomBytes(100000, 8)));
        const Finished finished =
            run(script, {"-qec", QStringLiteral("%1 --fast --write image.bin").arg(VARNOCK_DEMO),
                         "/dev/null"});
        QCOMPARE(finished.exitCode, 0);
        const QString shown = finished.out.join(QLatin1Char('\n'));
        // The OK in bold blue; the open line drawn on the progress line until it ends.
        QVERIFY2(shown.contains(QStringLiteral("Erasing Chip... \033[1;34mOK\033[0m")),
                 qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("\r\033[KWriting to Chip... ")), qPrintable(shown));
    }
};

VARNOCK_TEST_GUILESS_MAIN(TestCommandLine)

#include "tst_cli.moc"
