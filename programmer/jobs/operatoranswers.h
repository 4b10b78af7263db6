#pragma once

// OperatorAnswers: where the operator's answers to a job's questions wait for the worker
// thread, which sleeps until one comes. Any thread answers; an answer given before the
// question is asked is kept for it.

#include <QSemaphore>
#include <QString>
#include <QStringList>

#include <atomic>

class OperatorAnswers
{
public:
    void answer(bool yes)
    {
        m_yes = yes;
        m_answered.release();
    }
    // Yes to a chip known by its SFDP table, kept under keepAs in the user's own list (empty:
    // not kept).
    void answer(bool yes, const QString &keepAs)
    {
        m_keepAs = keepAs;
        answer(yes);
    }
    void answer(const QString &part)
    {
        m_part = part;
        m_answered.release();
    }
    void answer(bool yes, const QStringList &regions)
    {
        m_regions = regions;
        answer(yes);
    }
    bool waitForYes()
    {
        m_answered.acquire();
        return m_yes;
    }
    QString waitForPart()
    {
        m_answered.acquire();
        return m_part;
    }
    // After waitForYes, the regions that came with the yes.
    QStringList regions() const { return m_regions; }
    // Before a part question: no earlier answer stands for it.
    void forgetPart() { m_part.clear(); }
    // The name the last yes gave; valid once waitForYes has returned.
    QString keepAs() const { return m_keepAs; }

private:
    QSemaphore m_answered;
    std::atomic<bool> m_yes{false};
    QString m_part;
    QStringList m_regions;
    QString m_keepAs;
};
