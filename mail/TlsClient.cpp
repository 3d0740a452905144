#include "TlsClient.h"

#include "HostIdentity.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace {

// The system's trusted authorities as a list. Reading them takes a few hundred
// milliseconds, so it happens once per process; it is needed only when authorities are
// added, otherwise OpenSSL looks them up in the store as it goes.
const QList<QSslCertificate> &systemAuthorities()
{
    static const QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    return authorities;
}

} // namespace

namespace TlsClient {

bool start(QSslSocket *socket, const QString &verifyName, const QList<QSslCertificate> &extraCas)
{
    if (!QSslSocket::supportsSsl())
        return false;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Setting authorities replaces the system's, so both go in.
    if (!extraCas.isEmpty())
        config.setCaCertificates(systemAuthorities() + extraCas);
    socket->setSslConfiguration(config);
    socket->setPeerVerifyName(verifyName);
    socket->startClientEncryption();
    return true;
}

bool namesHost(const QSslSocket *socket, const QString &verifyName, QList<QSslError> *errors)
{
    const QSslCertificate certificate = socket->peerCertificate();
    if (HostIdentity::matches(certificate, verifyName))
        return true;
    *errors = {QSslError(QSslError::HostNameMismatch, certificate)};
    return false;
}

} // namespace TlsClient
