#include "FlipChars.h"

QString flipChars(const QString &text)
{
    QString result = text;
    for (QChar &c : result) {
        if (c.unicode() <= 0xFF)
            c = QChar(char16_t(0xFF - c.unicode()));
    }
    return result;
}
