#include "filedialogdriver.h"

#include <QApplication>
#include <QDir>

namespace {
// Short enough to answer a dialog at once, long enough not to spin the CPU.
constexpr int kPollIntervalMs = 5;
} // namespace

FileDialogDriver::FileDialogDriver(QObject *parent)
    : QObject(parent)
{
    m_poll.setInterval(kPollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, &FileDialogDriver::answerOpenDialog);
    m_poll.start();
}

void FileDialogDriver::acceptWith(const QString &path)
{
    m_path = path;
    m_accept = true;
}

void FileDialogDriver::cancel()
{
    m_path.clear();
    m_accept = false;
}

void FileDialogDriver::answerOpenDialog()
{
    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
    if (!dialog || dialog == m_answered || !dialog->isVisible())
        return;
    m_answered = dialog;

    Shown shown;
    shown.caption = dialog->windowTitle();
    shown.nameFilters = dialog->nameFilters();
    shown.directory = dialog->directory().canonicalPath();
    shown.selected = dialog->selectedFiles();
    shown.acceptMode = dialog->acceptMode();
    shown.parent = dialog->parentWidget();
    m_shown.append(shown);

    if (!m_accept) {
        dialog->reject();
        return;
    }
    dialog->selectFile(m_path);
    // QFileDialog::accept is protected; through QDialog it still runs the file dialog's checks.
    static_cast<QDialog *>(dialog)->accept();
}
