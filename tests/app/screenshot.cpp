// The README's screenshot: the main window after a matching verify job.
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

namespace {
constexpr int kChipSize = 1024 * 1024; // W25Q80DV
constexpr int kImageSize = 4096;

// A boot block as a firmware image might start: a readable header, then code-like bytes.
QByteArray DemoImage()
{
    const QByteArray header("VARNOCK BOOT    v1.0.2  SPI NOR W25Q80DV  (c) Varnock demo image");
    return header + RandomBytes(kImageSize - header.size(), 2026);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QString output = QDir::current().absoluteFilePath(
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png"));

    QTemporaryDir workingDir; // for the log file
    if (!workingDir.isValid() || !QDir::setCurrent(workingDir.path()))
        return 1;

    EmulatorHarness harness;
    harness.install(ChipKind::W25Q80DV);
    const QByteArray chip = DemoImage();
    harness.setMemory(chip + QByteArray(kChipSize - kImageSize, char(0xFF)));
    const QString image = workingDir.filePath(QStringLiteral("firmware.bin"));
    if (!WriteFile(image, chip))
        return 1;

    MainWindow window;
    window.show();
    FileDialogDriver dialogs;
    dialogs.answerWith(image);
    auto *verify = window.findChild<QPushButton *>(QStringLiteral("btnVerify"));
    verify->click();
    // JobDone arrives as a posted event, so this never spins.
    while (window.IsJobRunning() || !verify->isEnabled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();

    return window.grab().save(output) ? 0 : 1;
}
