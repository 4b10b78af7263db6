#include "urlsink.h"

#include <QDesktopServices>

UrlSink::UrlSink(QObject *parent)
    : QObject(parent)
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
}

UrlSink::~UrlSink()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void UrlSink::openUrl(const QUrl &) {}
