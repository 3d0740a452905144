#include "Pop3Login.h"

#include "Pop3Capa.h"

#include <QCryptographicHash>

namespace Pop3Login {

QList<Mechanism> candidates(const Pop3Capa &capa, bool encrypted, const QByteArray &greeting)
{
    const QByteArrayList sasl = capa.arguments("SASL");
    if (encrypted) {
        if (sasl.contains("PLAIN"))
            return {Mechanism::Plain, Mechanism::UserPass};
        return {Mechanism::UserPass};
    }
    QList<Mechanism> list;
    if (sasl.contains("SCRAM-SHA-256"))
        list.append(Mechanism::ScramSha256);
    if (sasl.contains("SCRAM-SHA-1"))
        list.append(Mechanism::ScramSha1);
    if (!apopTimestamp(greeting).isEmpty())
        list.append(Mechanism::Apop);
    if (list.isEmpty())
        list.append(Mechanism::UserPass);
    return list;
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
    const QByteArray digest =
        QCryptographicHash::hash(timestamp + password, QCryptographicHash::Md5);
    return "APOP " + user + ' ' + digest.toHex();
}

QByteArray plainResponse(const QString &user, const QString &password)
{
    return ('\0' + user.toUtf8() + '\0' + password.toUtf8()).toBase64();
}

QByteArray legacyText(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text.toUtf8();
    }
    return text.toLatin1();
}

QString checkedStatus(Mechanism mechanism, bool encrypted)
{
    if (encrypted)
        return QStringLiteral("Mailbox checked (TLS).");
    switch (mechanism) {
    case Mechanism::ScramSha256:
    case Mechanism::ScramSha1:
        return QStringLiteral("Mailbox checked (SCRAM, password not sent).");
    case Mechanism::Apop:
        return QStringLiteral("Mailbox checked (APOP, password not sent).");
    case Mechanism::Plain:
    case Mechanism::UserPass:
        break;
    }
    return QStringLiteral("Mailbox checked (password not encrypted).");
}

} // namespace Pop3Login
