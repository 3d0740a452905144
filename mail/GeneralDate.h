#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The user's short date, a space, and the long time without a time-zone name, as the
// count line and the change log's time stamps show them.
QString generalDate(const QDateTime &when = QDateTime::currentDateTime(),
                    const QLocale &locale = QLocale::system());
