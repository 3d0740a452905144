#pragma once

#include <QString>
#include <QtGlobal>

// The server text of the settings, taken apart before anything touches the network.
// Accepted forms (surrounding blanks ignored, scheme in any letter case):
//   host              the default port (popport), plain POP3 (a bare host: isBare())
//   host:port         plain POP3, except port 995, which is POP3 over implicit TLS
//   [v6addr]  [v6addr]:port
//   pop3://host[:port]    plain POP3, port 110 unless given
//   pop3s://host[:port]   implicit TLS (RFC 8314), port 995 unless given
// A plain connection still switches to TLS when the server offers STLS. Anything else is
// refused with a problem that names what is wrong. Pure: no lookups, no sockets.
class ServerAddress {
public:
    enum class Problem {
        None,
        Empty,         // nothing but blanks
        UnknownScheme, // a scheme other than pop3:// or pop3s://
        BadPort,       // empty, not decimal, 0 or above 65535
        NoHost,        // a scheme or a port, but no host
        Path,          // a path, query or fragment after the host
        Login,         // user@host
        Blank,         // blanks or control characters inside
        Brackets,      // [ without ], ] without [, or text after ] that is not :port
        BadIpv6,       // brackets around something that is not an IPv6 address
        BareIpv6,      // an IPv6 address without brackets
        BadHost,       // a character or a label no host name can have
    };

    static constexpr quint16 PlainPort = 110;
    static constexpr quint16 ImplicitTlsPort = 995;

    static ServerAddress parse(const QString &text, quint16 defaultPort = PlainPort);

    bool isValid() const { return m_problem == Problem::None; }
    Problem problem() const { return m_problem; }
    // A host name, an IPv4 address or an IPv6 address (without brackets).
    QString host() const { return m_host; }
    quint16 port() const { return m_port; }
    bool implicitTls() const { return m_implicitTls; }
    // Neither a scheme nor a port was given: the port is the default one.
    bool isBare() const { return m_bare; }
    // The same host on the implicit TLS port: pop3s://host.
    ServerAddress withImplicitTls() const;
    // The host as it is typed: an IPv6 address in brackets.
    QString hostText() const;

    // What is wrong, as one short sentence for the status line; empty when valid.
    QString problemText() const;
    // The address written out again, e.g. "pop3s://[::1]:995"; parses back to itself.
    QString toString() const;

private:
    static ServerAddress refused(Problem problem);

    Problem m_problem = Problem::Empty;
    QString m_host;
    quint16 m_port = 0;
    bool m_implicitTls = false;
    bool m_bare = false;
};
