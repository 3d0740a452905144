#include "Scram.h"

#include "SecretHash.h"
#include "SecureWipe.h"

#include <QList>
#include <QRandomGenerator>

namespace {

// A printable ASCII value without ",", as nonces must be.
bool isNonceText(const QByteArray &value)
{
    for (const char c : value) {
        if (c < 0x21 || c > 0x7e || c == ',')
            return false;
    }
    return !value.isEmpty();
}

// "a=value" fields; false when a field has no "x=" form.
bool splitFields(const QByteArray &message, QList<QByteArray> *fields)
{
    *fields = message.split(',');
    for (const QByteArray &field : std::as_const(*fields)) {
        if (field.size() < 2 || field.at(1) != '=')
            return false;
    }
    return true;
}

bool decodeBase64(const QByteArray &text, QByteArray *out)
{
    const auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    *out = *result;
    return true;
}

bool isNonAsciiSpace(char32_t c)
{
    return c == 0x00a0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200b) || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

bool isMappedToNothing(char32_t c)
{
    return c == 0x00ad || c == 0x034f || c == 0x1806 || (c >= 0x180b && c <= 0x180d) ||
           (c >= 0x200b && c <= 0x200d) || c == 0x2060 || (c >= 0xfe00 && c <= 0xfe0f) ||
           c == 0xfeff;
}

} // namespace

Scram::Scram(QCryptographicHash::Algorithm algorithm, const QString &user, const QString &password,
             const QByteArray &nonce)
    : m_algorithm(algorithm)
    , m_nonce(nonce.isEmpty() ? randomNonce() : nonce)
{
    // A prepared copy of its own is wiped; an ASCII password is shared, not copied.
    QString prepared = saslPrep(password);
    m_password = prepared.toUtf8();
    secureWipe(prepared);
    // saslname: "=" and "," are escaped.
    m_user = saslPrep(user).toUtf8().replace('=', "=3D").replace(',', "=2C");
}

Scram::~Scram()
{
    secureWipe(m_password);
    secureWipe(m_serverSignature);
}

QByteArray Scram::randomNonce()
{
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          bytes.size() / 4);
    return bytes.toBase64();
}

QString Scram::saslPrep(const QString &text)
{
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        return text;
    // Sized once, so that growing leaves no copy of the password behind.
    QString mapped;
    mapped.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char32_t c =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                : char32_t(text.at(i).unicode());
        const qsizetype units = QChar::requiresSurrogates(c) ? 2 : 1;
        if (isNonAsciiSpace(c))
            mapped += QLatin1Char(' ');
        else if (!isMappedToNothing(c))
            mapped.append(text.constData() + i, units);
        i += units - 1;
    }
    QString normalized = mapped.normalized(QString::NormalizationForm_KC);
    secureWipe(mapped);
    return normalized;
}

QByteArray Scram::hmac(const QByteArray &key, const QByteArray &message) const
{
    return Hmac(m_algorithm, key)(message);
}

QByteArray Scram::clientFirst() const
{
    return "n,,n=" + m_user + ",r=" + m_nonce;
}

QByteArray Scram::respond(const QByteArray &serverFirst)
{
    QList<QByteArray> fields;
    // A leading m= is a mandatory extension this client does not know: it must fail.
    if (!splitFields(serverFirst, &fields) || fields.size() < 3 || fields.at(0).at(0) != 'r' ||
        fields.at(1).at(0) != 's' || fields.at(2).at(0) != 'i') {
        m_problem = Problem::BadMessage;
        return QByteArray();
    }
    const QByteArray nonce = fields.at(0).mid(2);
    QByteArray salt;
    if (!isNonceText(nonce) || !decodeBase64(fields.at(1).mid(2), &salt) || salt.isEmpty()) {
        m_problem = Problem::BadMessage;
        return QByteArray();
    }
    if (!nonce.startsWith(m_nonce) || nonce.size() == m_nonce.size()) {
        m_problem = Problem::NonceMismatch;
        return QByteArray();
    }
    const QByteArray count = fields.at(2).mid(2);
    bool digits = !count.isEmpty();
    for (const char c : count)
        digits = digits && c >= '0' && c <= '9';
    if (!digits) {
        m_problem = Problem::BadMessage;
        return QByteArray();
    }
    // Nine digits cannot overflow an int; more are out of range anyway.
    const int iterations = count.size() > 9 ? MaxIterations + 1 : count.toInt();
    if (iterations < MinIterations || iterations > MaxIterations) {
        m_problem = Problem::IterationCount;
        return QByteArray();
    }

    QByteArray salted = pbkdf2(m_algorithm, m_password, salt, iterations);
    QByteArray clientKey = hmac(salted, "Client Key");
    QByteArray storedKey = secretDigest(m_algorithm, {clientKey});
    QByteArray serverKey = hmac(salted, "Server Key");
    const WipedBytes wipeSalted(salted);
    const WipedBytes wipeClientKey(clientKey);
    const WipedBytes wipeStoredKey(storedKey);
    const WipedBytes wipeServerKey(serverKey);
    const QByteArray withoutProof = "c=biws,r=" + nonce;
    const QByteArray authMessage = clientFirst().mid(3) + ',' + serverFirst + ',' + withoutProof;
    QByteArray signature = hmac(storedKey, authMessage);
    // The proof is made in place in a copy of the client key that is ours alone.
    QByteArray proof(clientKey.constData(), clientKey.size());
    for (qsizetype i = 0; i < proof.size(); ++i)
        proof[i] = char(proof.at(i) ^ signature.at(i));
    secureWipe(signature);
    m_serverSignature = hmac(serverKey, authMessage);
    QByteArray encoded = proof.toBase64();
    secureWipe(proof);
    QByteArray message = joined({withoutProof, ",p=", encoded});
    secureWipe(encoded);
    return message;
}

bool Scram::verify(const QByteArray &serverFinal)
{
    if (m_serverSignature.isEmpty()) {
        m_problem = Problem::NotProven;
        return false;
    }
    QList<QByteArray> fields;
    if (!splitFields(serverFinal, &fields)) {
        m_problem = Problem::NotProven;
        return false;
    }
    if (fields.at(0).at(0) == 'e') {
        m_problem = Problem::ServerError;
        m_serverError = fields.at(0).mid(2);
        return false;
    }
    QByteArray signature;
    if (fields.at(0).at(0) != 'v' || !decodeBase64(fields.at(0).mid(2), &signature) ||
        signature.size() != m_serverSignature.size()) {
        m_problem = Problem::NotProven;
        return false;
    }
    char difference = 0;
    for (qsizetype i = 0; i < signature.size(); ++i)
        difference |= char(signature.at(i) ^ m_serverSignature.at(i));
    if (difference != 0) {
        m_problem = Problem::NotProven;
        return false;
    }
    return true;
}
