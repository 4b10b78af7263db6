#pragma once

// ChipIdentification: which chip is in the socket. The identification reads (with the
// connection check), the chip-list keys the answers stand for, the lookup, SFDP for a chip the
// list does not know, and rows that share an identifier settled to one size; the result is the
// identified FlashChip, or a logged reason why there is none. Worker thread.

#include "chipdb/chiprecord.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class FlashChip;
struct SfdpFacts;
class JobLog;

// Answers of the five identification commands.
struct FlashIDs
{
    QByteArray ID9FH;
    QByteArray ID90H;
    QByteArray IDABH;
    QByteArray ID15H;
    QByteArray ID4BH;
};

class ChipIdentification
{
public:
    // What the operator is asked, each answered before the call returns.
    struct Questions
    {
        // Parts of different sizes share the identifier: which one is it? Empty: none.
        std::function<QString(const QStringList &parts)> part;
        // The chip is in no list but describes itself by SFDP: use it? keepAs: the name it is
        // kept under in the user's own list (empty: not kept), which the answer may give.
        std::function<bool(const QString &jedecId, qulonglong size, QString &keepAs)> unknownChip;
        // The chosen part has another id than the chip answers: use its facts all the same?
        // Unset where nobody can be asked: --force-part decides.
        std::function<bool(const QString &part, const QString &partId, const QString &chipId)>
            otherId;
        // A user's row disagrees with the chip's SFDP table (part, where the row comes from,
        // what each gives): use it all the same, at SFDP's size? Unset: --force-part decides.
        std::function<bool(const QString &part, const QString &origin, const QString &rowGives,
                           const QString &sfdpGives)>
            rowAgainstSfdp;
    };

    ChipIdentification(FlashChip &chip, JobLog &log, Questions questions);

    // Rows of the user's chip lists, checked, looked up with the built-in list's.
    void useUserRows(const QList<ChipRecord> &rows);
    // The part the operator names, matched without regard to case: its rows alone where the
    // chip answers one of their ids; where it does not, the job ends, unless forced.
    void choosePart(const QString &name, bool force);
    // A chip used by its SFDP table is kept under this name in the user's own list.
    void rememberAs(const QString &name);
    void readIds(FlashIDs &ids);
    // 1: the chip is identified; -2: no chip, an unknown or unsteady one, or a failed
    // transfer; -3: a chip of another series. Every reason is logged.
    int identify();

private:
    // Reads 9Fh twice more: a loose clip or long wires make the answers differ. False, having
    // logged the answers, when they do.
    bool isSteady(const FlashIDs &ids);
    // The chip-list ids the answers can stand for, the likeliest first.
    QStringList keys(const FlashIDs &ids);
    // Keeps the rows of the size in the socket: by the chip's SFDP density, else as the
    // operator chooses. False, having logged why, when none is.
    bool keepRowsOfOneSize(QList<ChipRecord> &rows);
    void logNotThisId(const QString &part, const QStringList &parts);
    // A chip in no list that describes itself: used as the operator says.
    bool acceptSfdpChip(const QString &jedecId);
    // Narrows the matches to the chosen part's rows. False, having logged why, when the job
    // ends: no list has the part, or the chip answers another id and the part is not forced.
    bool applyPartChoice(const ChipList &chips, const QStringList &candidates, QString &key,
                         ChipList &matches);
    // A user's row whose size, 4-byte need or erase sizes the chip's SFDP table contradicts:
    // one red line, then the job ends, or where forced (--force-part, the operator's yes) goes
    // on, at SFDP's size. False when it ends.
    bool holdUserRowsAgainstSfdp(QList<ChipRecord> &rows);
    // Whether a part is used against the chip's answers: as the operator says where ask can
    // ask, else as --force-part says; option: how the red line names that choice.
    bool forced(const std::function<bool()> &ask, QString &option) const;
    void keepSfdpChip(const QString &jedecId, const SfdpFacts &sfdp, const QString &name);
    int endOnTransferFailure();
    void logSupplyVoltage(const QList<ChipRecord> &rows);

    FlashChip &m_chip;
    JobLog &m_log;
    Questions m_questions;
    QList<ChipRecord> m_userRows;
    QString m_partName;
    bool m_forcePart = false;
    QString m_rememberAs;
};
