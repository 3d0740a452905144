#include "SecretHash.h"

#include "SecureWipe.h"

namespace {

qsizetype blockSize(QCryptographicHash::Algorithm algorithm)
{
    switch (algorithm) {
    case QCryptographicHash::Sha384:
    case QCryptographicHash::Sha512:
        return 128;
    default:
        return 64;
    }
}

// Starts the hash over on a block of zeros and finishes it: the buffered tail of the secret
// and the result made from it are overwritten by those of the zeros.
void forget(QCryptographicHash &hash, QCryptographicHash::Algorithm algorithm)
{
    static const char zeros[128] = {};
    hash.reset();
    hash.addData(QByteArrayView(zeros, blockSize(algorithm)));
    (void)hash.resultView();
}

} // namespace

QByteArray secretDigest(QCryptographicHash::Algorithm algorithm,
                        std::initializer_list<QByteArrayView> parts)
{
    QCryptographicHash hash(algorithm);
    for (const QByteArrayView part : parts)
        hash.addData(part);
    QByteArray result = hash.resultView().toByteArray();
    forget(hash, algorithm);
    return result;
}

Hmac::Hmac(QCryptographicHash::Algorithm algorithm, QByteArrayView key)
    : m_algorithm(algorithm)
    , m_inner(algorithm)
    , m_outer(algorithm)
{
    const qsizetype block = blockSize(algorithm);
    QByteArray longKey;
    if (key.size() > block) {
        longKey = secretDigest(algorithm, {key});
        key = longKey;
    }
    m_innerPad = QByteArray(block, '\x36');
    m_outerPad = QByteArray(block, '\x5c');
    for (qsizetype i = 0; i < key.size(); ++i) {
        m_innerPad[i] = char(m_innerPad.at(i) ^ key.at(i));
        m_outerPad[i] = char(m_outerPad.at(i) ^ key.at(i));
    }
    secureWipe(longKey);
}

Hmac::~Hmac()
{
    forget(m_inner, m_algorithm);
    forget(m_outer, m_algorithm);
    secureWipe(m_innerPad);
    secureWipe(m_outerPad);
}

QByteArray Hmac::operator()(QByteArrayView message)
{
    m_inner.reset();
    m_inner.addData(m_innerPad);
    m_inner.addData(message);
    m_outer.reset();
    m_outer.addData(m_outerPad);
    m_outer.addData(m_inner.resultView());
    return m_outer.resultView().toByteArray();
}

QByteArray pbkdf2(QCryptographicHash::Algorithm algorithm, QByteArrayView password,
                  QByteArrayView salt, int iterations)
{
    Hmac hmac(algorithm, password);
    QByteArray block = joined({salt, QByteArrayView("\0\0\0\1", 4)});
    QByteArray u = hmac(block);
    secureWipe(block);
    QByteArray result(u.constData(), u.size());
    for (int i = 1; i < iterations; ++i) {
        QByteArray next = hmac(u);
        secureWipe(u);
        u = std::move(next);
        for (qsizetype j = 0; j < result.size(); ++j)
            result[j] = char(result.at(j) ^ u.at(j));
    }
    secureWipe(u);
    return result;
}
