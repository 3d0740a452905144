#include "Pop3Login.h"

#include "Pop3Capa.h"
#include "SecretHash.h"
#include "SecureWipe.h"

namespace Pop3Login {

QList<Mechanism> candidates(const Pop3Capa &capa, bool encrypted, const QByteArray &greeting)
{
    const QByteArrayList sasl = capa.arguments("SASL");
    QList<Mechanism> list;
    if (encrypted) {
        if (sasl.contains("PLAIN"))
            list.append(Mechanism::Plain);
    } else {
        if (sasl.contains("SCRAM-SHA-256"))
            list.append(Mechanism::ScramSha256);
        if (sasl.contains("SCRAM-SHA-1"))
            list.append(Mechanism::ScramSha1);
        if (sasl.contains("CRAM-MD5"))
            list.append(Mechanism::CramMd5);
        if (!apopTimestamp(greeting).isEmpty())
            list.append(Mechanism::Apop);
    }
    list.append(Mechanism::UserPass);
    return list;
}

bool hidesPassword(Mechanism mechanism)
{
    return mechanism == Mechanism::ScramSha256 || mechanism == Mechanism::ScramSha1;
}

Protection protection(Mechanism mechanism, bool encrypted)
{
    if (encrypted)
        return Protection::Tls;
    switch (mechanism) {
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
        return Protection::Scram;
    case Mechanism::CramMd5:
        return Protection::CramMd5;
    case Mechanism::Apop:
        return Protection::Apop;
    case Mechanism::Plain:
    case Mechanism::UserPass:
        break;
    }
    return Protection::None;
}

QString name(Mechanism mechanism)
{
    switch (mechanism) {
    case Mechanism::Plain:
        return QStringLiteral("AUTH PLAIN");
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
        return QStringLiteral("SCRAM");
    case Mechanism::CramMd5:
        return QStringLiteral("CRAM-MD5");
    case Mechanism::Apop:
        return QStringLiteral("APOP");
    case Mechanism::UserPass:
        break;
    }
    return QStringLiteral("USER/PASS");
}

QByteArray apopTimestamp(const QByteArray &greeting)
{
    const qsizetype open = greeting.indexOf('<');
    if (open < 0)
        return QByteArray();
    const qsizetype close = greeting.indexOf('>', open);
    if (close < open + 2)
        return QByteArray();
    const QByteArray stamp = greeting.mid(open, close - open + 1);
    // RFC 1939's msg-id form: printable ASCII without blanks, with an "@" in it.
    for (const char c : stamp) {
        if (c <= ' ' || c > '~')
            return QByteArray();
    }
    return stamp.contains('@') ? stamp : QByteArray();
}

QByteArray apopCommand(const QByteArray &timestamp, const QByteArray &user,
                       const QByteArray &password)
{
    QByteArray raw = secretDigest(QCryptographicHash::Md5, {timestamp, password});
    QByteArray digest = raw.toHex();
    secureWipe(raw);
    QByteArray command = joined({"APOP ", user, " ", digest});
    secureWipe(digest);
    return command;
}

QByteArray cramResponse(const QString &user, const QString &password, const QByteArray &challenge)
{
    QByteArray key = password.toUtf8();
    QByteArray raw = Hmac(QCryptographicHash::Md5, key)(challenge);
    secureWipe(key);
    QByteArray digest = raw.toHex();
    secureWipe(raw);
    QByteArray response = joined({user.toUtf8(), " ", digest});
    secureWipe(digest);
    return response;
}

QByteArray plainMessage(const QString &user, const QString &password)
{
    QByteArray secret = password.toUtf8();
    QByteArray message =
        joined({QByteArrayView("\0", 1), user.toUtf8(), QByteArrayView("\0", 1), secret});
    secureWipe(secret);
    return message;
}

QByteArray legacyText(const QString &text)
{
    return text.toUtf8();
}

QString checkedStatus(Mechanism mechanism, bool encrypted)
{
    if (encrypted)
        return QStringLiteral("Mailbox checked (TLS).");
    switch (mechanism) {
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
        return QStringLiteral("Mailbox checked (SCRAM, password not sent).");
    case Mechanism::CramMd5:
        return QStringLiteral("Mailbox checked (CRAM-MD5, password not sent).");
    case Mechanism::Apop:
        return QStringLiteral("Mailbox checked (APOP, password not sent).");
    case Mechanism::Plain:
    case Mechanism::UserPass:
        break;
    }
    return QStringLiteral("Mailbox checked (password not encrypted).");
}

} // namespace Pop3Login
