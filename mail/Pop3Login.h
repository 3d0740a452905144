#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class Pop3Capa;

// How a check logs in, chosen from what the server offers (its CAPA list and the
// greeting) and whether the connection is encrypted. Pure: no socket, no state.
namespace Pop3Login {

enum class Mechanism {
    Plain, // AUTH PLAIN with an initial response (RFC 4616, RFC 5034)
    ScramSha256,
    ScramSha1,
    Apop,     // RFC 1939: an MD5 digest of the greeting's timestamp and the password
    UserPass, // USER and PASS
};

// The mechanisms to try, best first. Under TLS: AUTH PLAIN when the server lists it (one
// command instead of two), else USER/PASS. In the clear: SCRAM-SHA-256, SCRAM-SHA-1, APOP
// (when the greeting carries a timestamp), each when offered; USER/PASS, which sends the
// password as it is, only when none of them is.
QList<Mechanism> candidates(const Pop3Capa &capa, bool encrypted, const QByteArray &greeting);

// The "<...>" timestamp of a greeting, brackets included; empty when there is none.
QByteArray apopTimestamp(const QByteArray &greeting);
// "APOP user digest".
QByteArray apopCommand(const QByteArray &timestamp, const QByteArray &user,
                       const QByteArray &password);

// The base64 initial response of AUTH PLAIN: no authorisation identity, then the login
// and the password in UTF-8.
QByteArray plainResponse(const QString &user, const QString &password);

// USER, PASS and APOP arguments go out as Latin-1 when every character fits in it, since
// that is what servers with 8-bit logins have always compared against; anything beyond
// U+00FF is sent as UTF-8. Neither encoding can produce CR, LF or NUL from other
// characters.
QByteArray legacyText(const QString &text);

// The success status, saying how the password travelled.
QString checkedStatus(Mechanism mechanism, bool encrypted);

} // namespace Pop3Login
