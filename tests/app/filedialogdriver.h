#pragma once

// Answers non-native file dialogs from inside their modal loop and records each.

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QTimer>

class FileDialogDriver
{
public:
    struct Shown
    {
        QString caption;
        QString directory; // canonical path
        QString name;      // the file name proposed, if any
        QStringList filters;
    };

    FileDialogDriver()
    {
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
        const QString proposed = dialog->selectedFiles().value(0);
        m_shown.append({dialog->windowTitle(), dialog->directory().canonicalPath(),
                        QFileInfo(proposed).isDir() ? QString() : QFileInfo(proposed).fileName(),
                        dialog->nameFilters()});
        if (m_path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(m_path);
        // QFileDialog::accept is protected; QDialog's still runs the dialog's checks.
        static_cast<QDialog *>(dialog)->accept();
    }

    QTimer m_poll;
    QPointer<QFileDialog> m_answered;
    QString m_path;
    QList<Shown> m_shown;
};
