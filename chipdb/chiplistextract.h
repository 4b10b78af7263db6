#pragma once

#include "chiprecord.h"

#include <QObject>
#include <QString>

class QXmlStreamAttributes;

// Reads the chip list document into chip records and finds records by identifier;
// lives on the thread that identifies the chip.
class ChipListExtract : public QObject
{
    Q_OBJECT

public:
    explicit ChipListExtract(const QString &fileName, QObject *parent = nullptr);
    ~ChipListExtract() override;

    // Status 1: read (also when malformed or empty), -1: no such file, -2: cannot be opened.
    ChipList ExtractChipList(int *status);
    ChipList FindChipsByID(ChipList chipList, QString id);

private:
    static void fillAttributes(ChipRecord &record, const QXmlStreamAttributes &attributes);
    static void fillVoltage(ChipRecord &record, const QStringRef &value);

    QString fileName;
};
