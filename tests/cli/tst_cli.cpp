// Both programs run from the command line as a script runs them: no display, the exit status,
// the log on standard output and in Log.txt, and the chip of the demo's emulated programmer.

#include "testfiles.h"

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

struct Finished
{
    int exitCode = -1; // -1: crashed or hung
    QStringList out;   // standard output, by line
    QString err;
};

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    Finished run(const QString &program, const QStringList &arguments,
                 const QString &loggingRules = QString())
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A window would need a display and abort without one.
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-display-here"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
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

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_dir->path()).mkpath(QFileInfo(path(kChipImage)).path()));
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
                              << "--verify <FILE>    Compare the chip with FILE.";
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
        QTest::newRow("unknown bridge") << flasher << QStringList{"--bridge", "ch999", "--erase"}
                                        << 2 << "Unknown bridge 'ch999'";
        QTest::newRow("unknown SPI clock")
            << flasher << QStringList{"--spi-clock", "45", "--erase"} << 2
            << "Unknown SPI clock '45'";
        QTest::newRow("--spi-clock without a job") << flasher << QStringList{"--spi-clock", "30"}
                                                   << 2 << "--spi-clock sets the clock of a job";
        QTest::newRow("--bridge ch347 looks for a CH347 alone")
            << flasher << QStringList{"--bridge", "ch347", "--identify"} << 1
            << "No CH347 programmer found (USB 1a86:55db or 1a86:55de)";
        QTest::newRow("a CH347 names its clock")
            << demo
            << QStringList{"--fast", "--bridge", "ch347", "--spi-clock", "30", "--identify"} << 0
            << "CH347T 1a86:55db (emulated)\nSPI clock: 30 MHz\nCH341 variant: UNKNOWN\n";
        QTest::newRow("a CH341A ignores --spi-clock with one line")
            << demo << QStringList{"--fast", "--spi-clock", "60", "--identify"} << 0
            << "(emulated)\nThe CH341A clocks SPI at its own fixed rate of about 1.5 MHz: the "
               "SPI clock choice is ignored.\nCH341 variant: CH341A3\n";
        QTest::newRow("chip list") << demo << QStringList{"--chip", "list"} << 0
                                   << "W25Q80DV       1024 KiB  JEDEC ID EF4014\n";
        QTest::newRow("unknown chip")
            << demo << QStringList{"--chip", "W25Q99", "--erase"} << 2 << "Unknown chip 'W25Q99'";
    }

    void options()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, shown);

        const Finished finished = run(program, arguments);
        QCOMPARE(finished.exitCode, exitCode);
        const QString where = exitCode == 2 ? finished.err : finished.out.join('\n') + '\n';
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

        QTest::newRow("read dumps the chip")
            << QStringList{"--read", "dump.bin"} << none << 0
            << QStringList{"Flash Chip Read File Saved in:", "dump.bin"} << chip << chip;
        QTest::newRow("read on a CH347 at 60 MHz")
            << QStringList{"--bridge", "ch347", "--spi-clock", "60", "--read", "dump.bin"} << none
            << 0 << QStringList{"Flash Chip Read File Saved in:", "dump.bin"} << chip << chip;
        QTest::newRow("write programs the file")
            << write << image << 0 << QStringList{"Erasing Chip... OK", "Writing to Chip... OK"}
            << image + blank.mid(image.size()) << none;
        QTest::newRow("verify, match")
            << verify << chip.left(5000) << 0
            << QStringList{"Reading from Chip... OK", "Match Found!"} << chip << none;
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
            << QStringList{"Vendor: WINBOND Part no: W25Q64JV Capacity (Byte): 8388608"} << chip
            << none;
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
        QCOMPARE(out.mid(out.size() - tail.size() - 2, tail.size()), tail);
        QCOMPARE(out.value(out.size() - 2), kCompleted);
        QVERIFY2(out.last().startsWith(QLatin1String("Elapsed Time: ")), qPrintable(out.last()));
        QCOMPARE(filedLog(), out);
        QCOMPARE(ReadFile(path(kChipImage)), chipAfter);
        if (!dumpAfter.isNull())
            QCOMPARE(ReadFile(path(QStringLiteral("dump.bin"))), dumpAfter);
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
        const Finished finished = run(QStringLiteral(VARNOCK_DEMO), {"--fast", "--erase"},
                                      QStringLiteral("varnock.trace.debug=true"));
        QCOMPARE(finished.exitCode, 0);
        QVERIFY2(finished.err.contains(QStringLiteral("st \"03\"")), qPrintable(finished.err));
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

QTEST_GUILESS_MAIN(TestCommandLine)

#include "tst_cli.moc"
