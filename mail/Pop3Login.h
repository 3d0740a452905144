#pragma once

#include "Protection.h"

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
    CramMd5,  // RFC 2195: an HMAC-MD5 of the server's challenge, keyed with the password
    Apop,     // RFC 1939: an MD5 digest of the greeting's timestamp and the password
    UserPass, // USER and PASS
};

// The mechanisms to try, best first; a refusal before any proof went out moves to the
// next one. Under TLS: AUTH PLAIN when the server lists it (one command instead of two),
// then USER/PASS. In the clear: SCRAM-SHA-256 and SCRAM-SHA-1 when offered, CRAM-MD5 when
// offered, APOP when the greeting carries a timestamp, then USER/PASS, which sends the
// password as it is. What keeps a server that did better before from getting less is the
// remembered protection (ProtectionStore), not this list.
QList<Mechanism> candidates(const Pop3Capa &capa, bool encrypted, const QByteArray &greeting);

// Whether a login by mechanism on a connection without TLS may go ahead without the user's
// say-so: only SCRAM, which proves the password without revealing it, and makes a listener
// who tests guesses against the exchange pay its iteration count (4096 hashes at least)
// per guess. USER/PASS and AUTH PLAIN send the password as it is; an APOP or CRAM-MD5
// digest costs a listener one MD5 per guess.
bool hidesPassword(Mechanism mechanism);

// What a login by mechanism gives on a connection that is encrypted or not.
Protection protection(Mechanism mechanism, bool encrypted);
// Its name in a status: "SCRAM", "CRAM-MD5", "APOP", ...
QString name(Mechanism mechanism);

// The "<...>" timestamp of a greeting, brackets included; empty when there is none.
QByteArray apopTimestamp(const QByteArray &greeting);
// "APOP user digest". The caller wipes the line (SecureWipe.h) once it is sent.
QByteArray apopCommand(const QByteArray &timestamp, const QByteArray &user,
                       const QByteArray &password);

// The response to a CRAM-MD5 challenge, before base64: the login, a blank and the
// HMAC-MD5 of the challenge keyed with the password, in lower-case hex; login and password
// in UTF-8. The caller wipes it once it is sent.
QByteArray cramResponse(const QString &user, const QString &password, const QByteArray &challenge);

// The initial response of AUTH PLAIN, before base64: no authorisation identity, then the
// login and the password in UTF-8. The caller wipes it once it is sent.
QByteArray plainMessage(const QString &user, const QString &password);

// USER, PASS and APOP arguments, as the SASL mechanisms send theirs: in UTF-8, the encoding
// of POP3's international user names and passwords (RFC 6856), which servers store and
// compare logins in, and what the same account's AUTH PLAIN or SCRAM login sends. An ASCII
// login's bytes are the same as ever. UTF-8 cannot produce CR, LF or NUL from other
// characters.
QByteArray legacyText(const QString &text);

// The success status, saying how the password travelled.
QString checkedStatus(Mechanism mechanism, bool encrypted);

} // namespace Pop3Login
