#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>

#include <initializer_list>

// Hashes over secrets that leave nothing of them in memory Qt releases. QCryptographicHash
// keeps the tail of what it hashed and its last result until it is destroyed, and
// QMessageAuthenticationCode (and QPasswordDigestor, which uses it) a copy of the key it was
// given; all are released without being overwritten. These overwrite what they and the hash
// objects held before they let go of it. Results are the caller's to wipe (SecureWipe.h).

// The hash of the parts, one after the other.
QByteArray secretDigest(QCryptographicHash::Algorithm algorithm,
                        std::initializer_list<QByteArrayView> parts);

// HMAC (RFC 2104) with one key over any number of messages. MD5, SHA-1 and SHA-2 only.
class Hmac {
public:
    Hmac(QCryptographicHash::Algorithm algorithm, QByteArrayView key);
    ~Hmac();
    Hmac(const Hmac &) = delete;
    Hmac &operator=(const Hmac &) = delete;

    QByteArray operator()(QByteArrayView message);

private:
    QCryptographicHash::Algorithm m_algorithm;
    QCryptographicHash m_inner;
    QCryptographicHash m_outer;
    QByteArray m_innerPad;
    QByteArray m_outerPad;
};

// PBKDF2 (RFC 8018) for one block of output, the length of a hash: SCRAM's Hi().
QByteArray pbkdf2(QCryptographicHash::Algorithm algorithm, QByteArrayView password,
                  QByteArrayView salt, int iterations);
