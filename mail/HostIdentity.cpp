#include "HostIdentity.h"

#include <QHostAddress>
#include <QStringList>
#include <QUrl>

namespace {

// Lower case ASCII form without a trailing dot; empty when there is none.
QString canonical(const QString &name)
{
    QString text = name;
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (text.isEmpty() || text.endsWith(QLatin1Char('.')))
        return QString();
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        return text.toLower();
    return QString::fromLatin1(QUrl::toAce(text)).toLower();
}

bool isAddress(const QString &host, QHostAddress *address)
{
    if (!address->setAddress(host))
        return false;
    address->setScopeId(QString());
    return true;
}

} // namespace

namespace HostIdentity {

bool nameMatches(const QString &presented, const QString &host)
{
    const QString pattern = canonical(presented);
    const QString name = canonical(host);
    if (pattern.isEmpty() || name.isEmpty())
        return false;
    QHostAddress unused;
    if (isAddress(name, &unused))
        return false;
    if (!pattern.contains(QLatin1Char('*')))
        return pattern == name;

    // Only "*.<at least two labels without *>".
    if (!pattern.startsWith(QLatin1String("*.")) || pattern.count(QLatin1Char('*')) != 1)
        return false;
    const QString rest = pattern.mid(2);
    const QStringList labels = rest.split(QLatin1Char('.'));
    if (labels.size() < 2 || labels.contains(QString()))
        return false;
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    return dot > 0 && name.mid(dot + 1) == rest;
}

bool matches(const QSslCertificate &certificate, const QString &host)
{
    if (certificate.isNull())
        return false;
    const auto names = certificate.subjectAlternativeNames();

    QHostAddress address;
    if (isAddress(host, &address)) {
        const QList<QString> addresses = names.values(QSsl::IpAddressEntry);
        for (const QString &entry : addresses) {
            QHostAddress presented;
            if (presented.setAddress(entry) &&
                presented.isEqual(address, QHostAddress::StrictConversion))
                return true;
        }
        return false;
    }

    const QList<QString> dnsNames = names.values(QSsl::DnsEntry);
    const QStringList presented =
        dnsNames.isEmpty() ? certificate.subjectInfo(QSslCertificate::CommonName) : dnsNames;
    for (const QString &name : presented) {
        if (nameMatches(name, host))
            return true;
    }
    return false;
}

} // namespace HostIdentity
