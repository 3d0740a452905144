#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <initializer_list>

// Overwrites a secret's buffer before it is released, so the password, keys and proofs of a
// check do not linger in freed memory. Only a buffer this object alone holds is
// overwritten (a shared one still serves its other owners, which wipe it themselves); the
// object is empty afterwards either way. Callers keep secrets unshared: no copies into
// containers that outlive the wipe, no growth that reallocates (see joined()).
void secureWipe(QByteArray &bytes);
void secureWipe(QString &text);

// The parts in one buffer allocated once at its final size, so no partial copy of a
// secret is left behind by a reallocation.
QByteArray joined(std::initializer_list<QByteArrayView> parts);

// Wipes its QByteArray when it goes out of scope.
class WipedBytes {
public:
    explicit WipedBytes(QByteArray &bytes)
        : m_bytes(bytes)
    {
    }
    ~WipedBytes() { secureWipe(m_bytes); }
    WipedBytes(const WipedBytes &) = delete;
    WipedBytes &operator=(const WipedBytes &) = delete;

private:
    QByteArray &m_bytes;
};
