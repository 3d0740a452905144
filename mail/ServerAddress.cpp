#include "ServerAddress.h"

#include <QHostAddress>
#include <QUrl>

namespace {

using Problem = ServerAddress::Problem;

constexpr int maxHostLength = 253;
constexpr int maxLabelLength = 63;

bool hasBlankOrControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return true;
    }
    return false;
}

// 1 to 5 decimal digits giving 1..65535.
bool parsePort(const QString &text, quint16 *port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

bool isIpv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

// Letters (any script), digits, '-' and '_' in dot-separated labels; one trailing dot is
// allowed. International names must also have an ASCII form.
bool isHostName(const QString &host)
{
    QString name = host;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty() || name.size() > maxHostLength)
        return false;
    bool ascii = true;
    for (const QString &label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > maxLabelLength)
            return false;
        for (const QChar c : label) {
            if (c.unicode() > 0x7f) {
                ascii = false;
                if (!c.isLetterOrNumber() && !c.isMark())
                    return false;
            } else if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_')) {
                return false;
            }
        }
    }
    return ascii || !QUrl::toAce(name).isEmpty();
}

} // namespace

ServerAddress ServerAddress::refused(Problem problem)
{
    ServerAddress address;
    address.m_problem = problem;
    return address;
}

ServerAddress ServerAddress::parse(const QString &text, quint16 defaultPort)
{
    QString rest = text.trimmed();
    if (rest.isEmpty())
        return refused(Problem::Empty);
    if (hasBlankOrControl(rest))
        return refused(Problem::Blank);

    ServerAddress address;
    address.m_port = defaultPort;
    bool schemeGiven = false;
    const qsizetype schemeEnd = rest.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        const QString scheme = rest.left(schemeEnd).toLower();
        if (scheme == QLatin1String("pop3")) {
            address.m_port = PlainPort;
        } else if (scheme == QLatin1String("pop3s")) {
            address.m_port = ImplicitTlsPort;
            address.m_implicitTls = true;
        } else {
            return refused(Problem::UnknownScheme);
        }
        schemeGiven = true;
        rest = rest.mid(schemeEnd + 3);
        // "pop3s://mail.example.com/" as copied from a browser: the slash says nothing.
        if (rest.endsWith(QLatin1Char('/')))
            rest.chop(1);
    }
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')))
        return refused(Problem::Path);
    if (rest.contains(QLatin1Char('@')))
        return refused(Problem::Login);

    QString portText;
    bool portGiven = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return refused(Problem::Brackets);
        address.m_host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (address.m_host.contains(QLatin1Char('[')) || after.contains(QLatin1Char('[')) ||
            after.contains(QLatin1Char(']')))
            return refused(Problem::Brackets);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':')))
                return refused(Problem::Brackets);
            portText = after.mid(1);
            portGiven = true;
        }
        if (address.m_host.isEmpty())
            return refused(Problem::NoHost);
        if (!isIpv6(address.m_host))
            return refused(Problem::BadIpv6);
    } else {
        if (rest.contains(QLatin1Char('[')) || rest.contains(QLatin1Char(']')))
            return refused(Problem::Brackets);
        const qsizetype colons = rest.count(QLatin1Char(':'));
        if (colons > 1) {
            const bool ipv6 = isIpv6(rest) || isIpv6(rest.left(rest.lastIndexOf(QLatin1Char(':'))));
            return refused(ipv6 ? Problem::BareIpv6 : Problem::BadHost);
        }
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        address.m_host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            portGiven = true;
        }
        if (address.m_host.isEmpty())
            return refused(Problem::NoHost);
        if (!isHostName(address.m_host))
            return refused(Problem::BadHost);
    }
    if (portGiven && !parsePort(portText, &address.m_port))
        return refused(Problem::BadPort);
    // Without a scheme the port decides: 995 is the POP3-over-TLS port (RFC 8314).
    if (!schemeGiven)
        address.m_implicitTls = address.m_port == ImplicitTlsPort;
    address.m_bare = !schemeGiven && !portGiven;
    address.m_problem = Problem::None;
    return address;
}

QString ServerAddress::problemText() const
{
    switch (m_problem) {
    case Problem::None:
        return QString();
    case Problem::Empty:
        return QStringLiteral("No server name given.");
    case Problem::UnknownScheme:
        return QStringLiteral("Server: use pop3:// or pop3s:// only.");
    case Problem::BadPort:
        return QStringLiteral("Server: the port must be 1 to 65535.");
    case Problem::NoHost:
        return QStringLiteral("Server: no host name before the port.");
    case Problem::Path:
        return QStringLiteral("Server: no path or query after the host.");
    case Problem::Login:
        return QStringLiteral("Server: put the login in its own field.");
    case Problem::Blank:
        return QStringLiteral("Server: blank or control character inside.");
    case Problem::Brackets:
        return QStringLiteral("Server: unbalanced [ ] brackets.");
    case Problem::BadIpv6:
        return QStringLiteral("Server: not an IPv6 address inside [ ].");
    case Problem::BareIpv6:
        return QStringLiteral("Server: write an IPv6 address as [addr].");
    case Problem::BadHost:
        return QStringLiteral("Server: invalid character in the name.");
    }
    return QString();
}

ServerAddress ServerAddress::withImplicitTls() const
{
    ServerAddress address = *this;
    address.m_port = ImplicitTlsPort;
    address.m_implicitTls = true;
    address.m_bare = false;
    return address;
}

QString ServerAddress::hostText() const
{
    return m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']')
                                             : m_host;
}

QString ServerAddress::toString() const
{
    if (!isValid())
        return QString();
    return (m_implicitTls ? QStringLiteral("pop3s://") : QStringLiteral("pop3://")) + hostText() +
           QLatin1Char(':') + QString::number(m_port);
}
