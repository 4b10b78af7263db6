#pragma once

// RegionChoice: the update's question which regions of the image's Intel flash descriptor to
// write, each with its range and whether the image changes it; every changed region ticked, so
// that Write without reading writes what the plain update would.

#include <QDialog>
#include <QStringList>

class QListWidget;

class RegionChoice : public QDialog
{
    Q_OBJECT

public:
    RegionChoice(const QStringList &regions, const QStringList &ranges, const QStringList &changed,
                 QWidget *parent);

    // The names of the regions ticked.
    QStringList chosen() const;

private:
    QListWidget *m_list;
};
