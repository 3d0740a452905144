#include "Pop3Outcome.h"

#include "Pop3Reply.h"

namespace {

// The response code (any letter case) is name, or a more specific code under it
// (RFC 2449 §8: an unknown subcode counts as its parent).
bool isCode(const QByteArray &code, const char *name)
{
    const QByteArray upper = code.toUpper();
    return upper == name || upper.startsWith(QByteArray(name) + '/');
}

enum class Trust { Untrusted, SelfSigned, Expired, NotYetValid, NameMismatch, Other };

// The fault that matters most to the user when several are found: a certificate nobody
// vouches for makes its dates and names meaningless.
Trust worstFault(const QList<QSslError> &errors)
{
    Trust worst = Trust::Other;
    int rank = 0;
    const auto consider = [&](Trust fault, int faultRank) {
        if (faultRank > rank) {
            worst = fault;
            rank = faultRank;
        }
    };
    for (const QSslError &error : errors) {
        switch (error.error()) {
        case QSslError::SelfSignedCertificate:
            consider(Trust::SelfSigned, 5);
            break;
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::CertificateRejected:
            consider(Trust::Untrusted, 4);
            break;
        case QSslError::CertificateExpired:
            consider(Trust::Expired, 3);
            break;
        case QSslError::CertificateNotYetValid:
            consider(Trust::NotYetValid, 3);
            break;
        case QSslError::HostNameMismatch:
            consider(Trust::NameMismatch, 2);
            break;
        default:
            consider(Trust::Other, 1);
            break;
        }
    }
    return worst;
}

} // namespace

QString Pop3Outcome::fitted(const QString &prefix, const QByteArray &serverText,
                            const QString &fallback)
{
    const QString shown = Pop3Reply::displayText(serverText, MaxStatus - int(prefix.size()));
    return shown.isEmpty() ? fallback : prefix + shown;
}

Pop3Outcome Pop3Outcome::loginRefused(const Pop3Reply &reply, bool afterPass)
{
    using namespace Pop3Code;
    const QByteArray &code = reply.code;
    if (isCode(code, "IN-USE"))
        return failure(MailboxInUse, QStringLiteral("Mailbox in use, will retry."));
    if (isCode(code, "LOGIN-DELAY"))
        return failure(LoginDelay, QStringLiteral("Logins too frequent: use a longer interval."));
    if (isCode(code, "SYS/PERM"))
        return failure(PermanentFailure, fitted(QStringLiteral("Server failure: "), reply.text,
                                                QStringLiteral("Permanent server failure.")));
    // SYS/TEMP, and SYS or SYS/<unknown>: the system is at fault, not the login.
    if (isCode(code, "SYS"))
        return failure(TemporaryFailure, QStringLiteral("Temporary server failure, will retry."));
    if (afterPass)
        return failure(LoginRefused, fitted(QStringLiteral("Password refused: "), reply.text,
                                            QStringLiteral("Password refused by the server.")));
    return failure(LoginRefused, fitted(QStringLiteral("Login refused: "), reply.text,
                                        QStringLiteral("Login refused by the server.")));
}

Pop3Outcome Pop3Outcome::clearNotAllowed(const QString &host)
{
    const QString typed = QStringLiteral("No TLS: to log in, type pop3://") + host;
    return failure(Pop3Code::ClearNotAllowed,
                   typed.size() <= MaxStatus
                       ? typed
                       : QStringLiteral("No TLS: to log in, put pop3:// before the host."));
}

Pop3Outcome Pop3Outcome::tlsFailed(const QList<QSslError> &errors, bool stls)
{
    using namespace Pop3Code;
    if (errors.isEmpty()) {
        if (stls)
            return failure(StlsFailed, QStringLiteral("STLS failed; login not sent in clear."));
        return failure(TlsFailed, QStringLiteral("TLS handshake failed (not a TLS port?)."));
    }
    switch (worstFault(errors)) {
    case Trust::SelfSigned:
        return failure(CertificateUntrusted,
                       QStringLiteral("Certificate is self-signed, untrusted."));
    case Trust::Untrusted:
        return failure(CertificateUntrusted,
                       QStringLiteral("Certificate not from a trusted authority."));
    case Trust::Expired:
        return failure(CertificateExpired, QStringLiteral("Server certificate has expired."));
    case Trust::NotYetValid:
        return failure(CertificateExpired, QStringLiteral("Server certificate is not valid yet."));
    case Trust::NameMismatch:
        return failure(CertificateNameMismatch,
                       QStringLiteral("Certificate is not for this server name."));
    case Trust::Other:
        break;
    }
    return failure(CertificateInvalid, fitted(QStringLiteral("Bad certificate: "),
                                              errors.first().errorString().toUtf8(),
                                              QStringLiteral("Server certificate is invalid.")));
}
