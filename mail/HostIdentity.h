#pragma once

#include <QSslCertificate>
#include <QString>

// Does a server certificate name the host the user typed? The rules of RFC 6125 §6 and
// RFC 2595 §2.4:
//  - an IP address matches only an iPAddress subjectAltName, never a name or wildcard;
//  - a name matches the dNSName subjectAltNames; the subject's common name is consulted
//    only when the certificate has no dNSName at all;
//  - "*" may stand for one whole left-most label ("*.example.com" matches
//    "mail.example.com", not "example.com" nor "a.b.example.com"), and only when at least
//    two labels follow it; "m*.example.com" or "*.*.com" match nothing.
// Letter case and a trailing dot do not matter; international names compare in their
// ASCII (punycode) form.
namespace HostIdentity {

bool matches(const QSslCertificate &certificate, const QString &host);

// One presented name (as found in the certificate) against one host name.
bool nameMatches(const QString &presented, const QString &host);

} // namespace HostIdentity
