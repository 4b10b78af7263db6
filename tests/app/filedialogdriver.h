#pragma once

// Answers the file dialogs that the window opens, from inside their modal
// event loop: records what each dialog showed, then accepts a chosen file or
// cancels. GUI thread.

#include <QFileDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class FileDialogDriver : public QObject
{
    Q_OBJECT

public:
    struct Shown
    {
        QString caption;
        QStringList nameFilters;
        QString directory;    // canonical path of the folder the dialog opened in
        QStringList selected; // what the dialog offered before it was answered
        QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;
        QWidget *parent = nullptr;
    };

    explicit FileDialogDriver(QObject *parent = nullptr);

    // Every dialog from now on accepts this path.
    void acceptWith(const QString &path);
    // Every dialog from now on is cancelled.
    void cancel();

    const QList<Shown> &shown() const { return m_shown; }

private:
    void answerOpenDialog();

    QTimer m_poll;
    QPointer<QFileDialog> m_answered;
    QString m_path;
    bool m_accept = false;
    QList<Shown> m_shown;
};
