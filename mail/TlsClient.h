#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QSslSocket;

// The client's side of a TLS handshake with a POP3 server, shared by every connection that
// starts one (STLS on a plain connection, implicit TLS from the first byte): TLS 1.2 or
// later, a certificate that chains to the system's trusted authorities (or extraCas, for
// tests) and names the host as the user typed it (RFC 6125, see HostIdentity).
namespace TlsClient {

// Configures the connected socket and starts the handshake. False when this Qt has no TLS
// backend; the socket is then left as it was.
bool start(QSslSocket *socket, const QString &verifyName, const QList<QSslCertificate> &extraCas);

// Once the socket is encrypted: Qt also accepts a common name beside DNS names and partial
// wildcards such as "m*.example.com", so the stricter rules apply on top. False, with the
// mismatch in *errors, when the certificate does not name verifyName.
bool namesHost(const QSslSocket *socket, const QString &verifyName, QList<QSslError> *errors);

} // namespace TlsClient
