#include "paintwatch.h"

#include <QEvent>

PaintWatch::PaintWatch(QObject *parent)
    : QObject(parent)
{
}

bool PaintWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint)
        ++m_paints;
    return QObject::eventFilter(watched, event);
}
