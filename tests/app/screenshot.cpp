// Takes the README's screenshot: the real main window on the emulated
// programmer, after a verify job whose file matches the chip, so the log shows
// every colour and the hex view is filled.
//
//   xvfb-run -a -s "-screen 0 1024x768x24" varnock_screenshot docs/screenshot.png

#include "emulatorharness.h"
#include "filedialogdriver.h"
#include "mainwindow.h"
#include "testfiles.h"

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

namespace {
constexpr int kChipSize = 1024 * 1024; // W25Q80DV
constexpr int kImageSize = 4096;

// A boot block as a firmware image might start: a readable header, then code-like bytes.
QByteArray DemoChipContents()
{
    QByteArray contents = RandomBytes(kImageSize, 2026);
    const QByteArray header("VARNOCK BOOT    v1.0.2  SPI NOR W25Q80DV  "
                            "(c) Varnock demo image - flash me, read me, verify me.");
    contents.replace(0, header.size(), header);
    return contents + QByteArray(kChipSize - kImageSize, char(0xFF));
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QString output = QDir::current().absoluteFilePath(
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png"));

    // The log file goes to a throw-away working directory.
    QTemporaryDir workingDir;
    if (!workingDir.isValid() || !QDir::setCurrent(workingDir.path()))
        return 1;

    EmulatorHarness harness;
    harness.install(ChipKind::W25Q80DV);
    const QByteArray chip = DemoChipContents();
    harness.setMemory(chip);
    const QString image = workingDir.filePath(QStringLiteral("firmware.bin"));
    if (!WriteFile(image, chip.left(kImageSize)))
        return 1;

    MainWindow window;
    window.show();
    FileDialogDriver dialogs;
    dialogs.answerWith(image);
    auto *verify = window.findChild<QPushButton *>(QStringLiteral("btnVerify"));
    verify->click();
    // JobDone arrives as a posted event, so waiting for events never spins.
    while (window.IsJobRunning() || !verify->isEnabled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();

    if (!window.grab().save(output)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
