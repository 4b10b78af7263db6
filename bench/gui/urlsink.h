#pragma once

// UrlSink: takes the URLs the program asks the desktop to open, so that a
// benchmark run opens no file manager or browser. GUI thread.

#include <QObject>
#include <QUrl>

class UrlSink : public QObject
{
    Q_OBJECT

public:
    explicit UrlSink(QObject *parent = nullptr);
    ~UrlSink() override;

public slots:
    void openUrl(const QUrl &url);
};
