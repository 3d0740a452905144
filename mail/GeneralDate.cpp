#include "GeneralDate.h"

namespace {

// Drops the time-zone fields ('t', 'tt', ...) from a time format, leaving quoted text alone,
// and tidies the blanks they leave behind.
QString withoutTimeZone(const QString &format)
{
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out += c;
    }
    return out.simplified();
}

} // namespace

QString generalDate(const QDateTime &when, const QLocale &locale)
{
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    const QString time =
        locale.toString(when.time(), withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return date + u' ' + time;
}
