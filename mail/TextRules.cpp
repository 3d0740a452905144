#include "TextRules.h"

#include <limits>

double leadingNumber(const QString &text)
{
    QString digits;
    digits.reserve(text.size());
    bool seenDigit = false;
    bool seenPoint = false;
    for (const QChar c : text) {
        if (c == u' ')
            continue;
        if ((c == u'-' || c == u'+') && digits.isEmpty()) {
            digits += c;
        } else if (c >= u'0' && c <= u'9') {
            digits += c;
            seenDigit = true;
        } else if (c == u'.' && !seenPoint) {
            digits += c;
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!seenDigit)
        return 0.0;
    // The collected text is a plain decimal number; QString parses it in the C locale, so
    // the point stays the decimal mark whatever the user's locale.
    bool ok = false;
    const double value = digits.toDouble(&ok);
    if (ok)
        return value;
    // Only an overlong number fails here: it stands for "very large".
    return digits.startsWith(u'-') ? -std::numeric_limits<double>::infinity()
                                   : std::numeric_limits<double>::infinity();
}

QString trimBlanks(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u' ')
        ++first;
    while (last > first && text.at(last - 1) == u' ')
        --last;
    return text.mid(first, last - first);
}
