#include "Protection.h"

int strength(Protection level)
{
    switch (level) {
    case Protection::None:
        break;
    case Protection::Apop:
    case Protection::CramMd5:
        return 1;
    case Protection::Scram:
        return 2;
    case Protection::Tls:
        return 3;
    }
    return 0;
}

namespace ProtectionText {

QByteArray word(Protection level)
{
    switch (level) {
    case Protection::Apop:
        return "apop";
    case Protection::CramMd5:
        return "cram-md5";
    case Protection::Scram:
        return "scram";
    case Protection::Tls:
        return "tls";
    case Protection::None:
        break;
    }
    return "none";
}

bool fromWord(const QByteArray &text, Protection *level)
{
    for (const Protection candidate : {Protection::None, Protection::Apop, Protection::CramMd5,
                                       Protection::Scram, Protection::Tls}) {
        if (text == word(candidate)) {
            *level = candidate;
            return true;
        }
    }
    return false;
}

QString lowered(Protection level)
{
    switch (level) {
    case Protection::Tls:
        return QStringLiteral("TLS no longer offered; password not sent.");
    case Protection::Scram:
        return QStringLiteral("SCRAM no longer offered; password not sent.");
    case Protection::Apop:
        return QStringLiteral("APOP no longer offered; password not sent.");
    case Protection::CramMd5:
        return QStringLiteral("CRAM-MD5 no longer offered; password not sent.");
    case Protection::None:
        break;
    }
    return QString();
}

} // namespace ProtectionText
