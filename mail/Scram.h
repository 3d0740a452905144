#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

// The client side of SCRAM (RFC 5802, RFC 7677) without channel binding, on Qt's own
// hash, HMAC and PBKDF2. One object runs one exchange:
//   clientFirst() -> server-first -> respond() -> server-final -> verify()
// Messages are the decoded SASL payloads, not their base64 form. verify() succeeds only on
// a server signature that proves the server knows the password; a server that sends an
// error, a wrong signature or none at all fails it.
//
// Names and passwords are prepared with saslPrep(): printable ASCII passes unchanged; for
// other characters the mapping and normalisation steps of SASLprep (RFC 4013) apply.
class Scram {
public:
    enum class Problem {
        None,
        BadMessage,     // the server's message does not parse (missing field, bad base64...)
        NonceMismatch,  // the server's nonce does not extend ours
        IterationCount, // an iteration count outside MinIterations..MaxIterations
        ServerError,    // the server-final message carries e=... (see serverError())
        NotProven,      // the server signature is missing or wrong
    };

    // Fewer iterations than RFC 5802 §5.1 and RFC 7677 §4 ask for would hand a fake server
    // a proof it can test guesses against cheaply. Each iteration is a few HMACs on the
    // caller's thread: a server must not be able to stall the check (and with it the
    // window) by asking for millions.
    static constexpr int MinIterations = 4096;
    static constexpr int MaxIterations = 100000;

    // algorithm: Sha1 or Sha256. nonce: printable ASCII without ","; empty picks a random one.
    Scram(QCryptographicHash::Algorithm algorithm, const QString &user, const QString &password,
          const QByteArray &nonce = QByteArray());
    // Overwrites the prepared password and what was derived from it.
    ~Scram();
    Scram(const Scram &) = delete;
    Scram &operator=(const Scram &) = delete;

    QByteArray clientFirst() const;
    // The client-final message for the server-first message; empty on a problem. It holds
    // the proof: the caller wipes it (SecureWipe.h) once it is sent.
    QByteArray respond(const QByteArray &serverFirst);
    // True when the server-final message proves the server knows the password.
    bool verify(const QByteArray &serverFinal);

    Problem problem() const { return m_problem; }
    // The value of e= after ServerError, e.g. "invalid-proof".
    QByteArray serverError() const { return m_serverError; }

    // RFC 4013 steps 2.1 (non-ASCII spaces to U+0020, the characters "mapped to nothing"
    // removed) and 2.2 (NFKC). Prohibited characters are left as they are: the server
    // compares with what it stored and decides.
    static QString saslPrep(const QString &text);
    static QByteArray randomNonce();

private:
    QByteArray hmac(const QByteArray &key, const QByteArray &message) const;

    QCryptographicHash::Algorithm m_algorithm;
    QByteArray m_user;
    QByteArray m_password;
    QByteArray m_nonce;
    QByteArray m_serverSignature;
    QByteArray m_serverError;
    Problem m_problem = Problem::None;
};
