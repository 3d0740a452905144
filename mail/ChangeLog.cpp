#include "ChangeLog.h"

#include <algorithm>
#include <stdexcept>

int ChangeLog::checkedRow(int row)
{
    if (row < 0 || row > LastRow)
        throw std::out_of_range("change log row out of range");
    return row;
}

const QString &ChangeLog::logText(int row) const
{
    return m_logText[checkedRow(row)];
}

const QString &ChangeLog::logTime(int row) const
{
    return m_logTime[checkedRow(row)];
}

void ChangeLog::record(const QString &text, const QString &time)
{
    if (m_logIdx < LastRow) {
        ++m_logIdx;
    } else {
        // Full: rows 2..100 move to 1..99 and the new entry takes row 100.
        std::move(m_logText.begin() + 2, m_logText.end(), m_logText.begin() + 1);
        std::move(m_logTime.begin() + 2, m_logTime.end(), m_logTime.begin() + 1);
    }
    m_logText[checkedRow(m_logIdx)] = text;
    m_logTime[checkedRow(m_logIdx)] = time;
}

void ChangeLog::clear()
{
    *this = ChangeLog();
}

QString changeText(qint64 newCount, qint64 oldCount)
{
    const qint64 grown = newCount - oldCount;
    if (grown >= 0)
        return QString::number(grown) +
               (grown == 1 ? QStringLiteral(" New Message") : QStringLiteral(" New Messages"));
    const qint64 shrunk = oldCount - newCount;
    return QString::number(shrunk) +
           (shrunk == 1 ? QStringLiteral(" Message Less") : QStringLiteral(" Messages Less"));
}

ChangeLog &Module1::changeLog()
{
    static ChangeLog log;
    return log;
}
