#pragma once

// Answers the window's (non-native) file dialogs from inside their modal event
// loop: records what each showed, then accepts a chosen file or cancels.

#include <QApplication>
#include <QFileDialog>
#include <QList>
#include <QPointer>
#include <QTimer>

class FileDialogDriver
{
public:
    struct Shown
    {
        QString caption;
        QString directory; // canonical path of the folder the dialog opened in
        QString selected;  // what the dialog offered before it was answered
    };

    FileDialogDriver()
    {
        // Short enough to answer a dialog at once, long enough not to spin the CPU.
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, &m_poll, [this] { answerOpenDialog(); });
        m_poll.start();
    }

    // Every dialog from now on accepts this path; an empty path cancels it.
    void answerWith(const QString &path) { m_path = path; }
    const QList<Shown> &shown() const { return m_shown; }

private:
    void answerOpenDialog()
    {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_answered || !dialog->isVisible())
            return;
        m_answered = dialog;
        m_shown.append({dialog->windowTitle(), dialog->directory().canonicalPath(),
                        dialog->selectedFiles().value(0)});
        if (m_path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(m_path);
        // QFileDialog::accept is protected; through QDialog it still runs the dialog's checks.
        static_cast<QDialog *>(dialog)->accept();
    }

    QTimer m_poll;
    QPointer<QFileDialog> m_answered;
    QString m_path;
    QList<Shown> m_shown;
};
