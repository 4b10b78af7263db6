#pragma once

// PaintWatch: counts the paint events a widget receives, so a benchmark can
// spin the event loop until the next frame has been painted. GUI thread.

#include <QObject>

class PaintWatch : public QObject
{
    Q_OBJECT

public:
    explicit PaintWatch(QObject *parent = nullptr);

    int paints() const { return m_paints; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int m_paints = 0;
};
