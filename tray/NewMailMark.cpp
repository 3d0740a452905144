#include "NewMailMark.h"

void NewMailMark::counted(qint64 count)
{
    m_count = count;
    m_seen = qMin(m_seen, count);
}

void NewMailMark::looked()
{
    m_seen = m_count;
}

QString NewMailMark::text(qint64 marked)
{
    if (marked <= 0)
        return {};
    return marked > 99 ? QStringLiteral("99+") : QString::number(marked);
}
