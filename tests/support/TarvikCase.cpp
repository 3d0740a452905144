#include "TarvikCase.h"

#include "Loopback.h"

#include "TestCertificates.h"
#include "mail/Tarvik.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

namespace {

// The password as it goes out in AUTH PLAIN.
QByteArray plainResponse(const QString &login, const QString &secret)
{
    return ('\0' + login.toUtf8() + '\0' + secret.toUtf8()).toBase64();
}

bool carriesLogin(const QByteArray &bytes, const QString &login, const QString &secret)
{
    return bytes.contains("USER ") || bytes.contains("PASS ") || bytes.contains(secret.toUtf8()) ||
           bytes.contains(plainResponse(login, secret));
}

} // namespace

bool fitsStatusLine(const QString &status)
{
    if (status.isEmpty() || status.size() > 45)
        return false;
    for (const QChar c : status) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
            return false;
    }
    return true;
}

TarvikCase TarvikCase::ok(const FakePop3Script &script, qint64 count)
{
    TarvikCase c;
    c.script = script;
    c.count = count;
    return c;
}

TarvikCase TarvikCase::failing(const FakePop3Script &script, int code, const QString &fragment)
{
    TarvikCase c;
    c.script = script;
    c.code = code;
    c.fragment = fragment;
    return c;
}

TarvikCase TarvikCase::refused(const QString &serverText, int code, const QString &fragment)
{
    TarvikCase c = failing(FakePop3Script::mailbox(1), code, fragment);
    c.serverText = serverText;
    c.credentials = Credentials::Never;
    c.connections = 0;
    c.maxMs = 1000;
    return c;
}

TarvikCase &TarvikCase::tls(Server mode, const QString &identityName)
{
    server = mode;
    identity = identityName;
    return *this;
}

TarvikCase &TarvikCase::text(const QString &value)
{
    serverText = value;
    return *this;
}

TarvikCase &TarvikCase::secret(Credentials where)
{
    credentials = where;
    return *this;
}

TarvikCase &TarvikCase::inClear(const QByteArray &bytes)
{
    checkClear = true;
    clear = bytes;
    return *this;
}

TarvikCase &TarvikCase::received(const QByteArray &bytes)
{
    checkReceived = true;
    transcript = bytes;
    return *this;
}

TarvikCase &TarvikCase::tlsHandshakes(int count)
{
    handshakes = count;
    return *this;
}

TarvikCase &TarvikCase::within(int timeoutSeconds, int atLeastMs, int underMs)
{
    timeout = timeoutSeconds;
    minMs = atLeastMs;
    maxMs = underMs;
    return *this;
}

TarvikCase &TarvikCase::untrusted()
{
    trustTestCa = false;
    return *this;
}

TarvikCase &TarvikCase::as(const QString &name, const QString &secret)
{
    login = name;
    secretText = secret;
    return *this;
}

TarvikCase &TarvikCase::scramNonce(const QByteArray &value)
{
    nonce = value;
    return *this;
}

TarvikCase &TarvikCase::inFlights(const QList<QByteArray> &list)
{
    checkFlights = true;
    flightList = list;
    return *this;
}

void TarvikCase::run() const
{
    const TestCertificates &pki = TestCertificates::instance();
    QVERIFY2(pki.errorString().isEmpty(), qPrintable(pki.errorString()));
    const TestCertificates::Identity id = pki.identity(identity);
    QVERIFY2(!id.isNull(), qPrintable(identity));

    FakeTls fakeTls{{id.certificate}, id.key, server == Server::ImplicitTls};
    FakePop3Server fake(script, fakeTls,
                        QHostAddress(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
    if (ipv6 && !fake.isListening())
        QSKIP("no IPv6 loopback here");
    QVERIFY(fake.isListening());

    Tarvik tarvik;
    tarvik.setPopport(fake.port());
    if (serverText.isEmpty()) {
        tarvik.setPophostname(fake.host());
    } else {
        QString textual = serverText;
        textual.replace(QLatin1String("%h"), fake.host())
            .replace(QLatin1String("%p"), QString::number(fake.port()));
        if (textual.contains(QLatin1String("%r"))) {
            const quint16 port = Loopback::unusedPort();
            QVERIFY(port != 0);
            textual.replace(QLatin1String("%r"), QString::number(port));
        }
        tarvik.setPophostname(textual);
    }
    tarvik.setPopusername(login);
    tarvik.setPoppassword(secretText);
    tarvik.setScramNonce(nonce);
    tarvik.setPoptimeout(timeout);
    if (trustTestCa)
        tarvik.setExtraCaCertificates({pki.authority()});

    QElapsedTimer clock;
    clock.start();
    tarvik.popCheck();
    const qint64 elapsed = clock.elapsed();
    const QString status = tarvik.popStatus();
    const QByteArray context = status.toUtf8() + " (code " + QByteArray::number(tarvik.popError()) +
                               ", " + QByteArray::number(elapsed) + " ms)";

    QVERIFY2(tarvik.popError() == code, context.constData());
    QVERIFY2(status.contains(fragment, Qt::CaseInsensitive), context.constData());
    QVERIFY2(fitsStatusLine(status), context.constData());
    QCOMPARE(tarvik.popCount(), count);
    QVERIFY2(elapsed >= minMs, context.constData());
    QVERIFY2(elapsed < (maxMs < 0 ? timeout * 1000 + 3000 : maxMs), context.constData());
    tarvik.popClose();

    if (connections == 0) {
        // Give a stray connection time to show up before asserting there was none.
        QTest::qWait(150);
        QCOMPARE(fake.connectionCount(), 0);
    } else if (connections > 0) {
        // The server sees the client's close and drops its side; only then is the log
        // complete.
        QTRY_COMPARE_WITH_TIMEOUT(fake.openConnectionCount(), 0, 5000);
        QCOMPARE(fake.connectionCount(), connections);
    }
    const QByteArray received = fake.received();
    const QByteArray clearBytes = fake.receivedInClear();
    switch (credentials) {
    case Credentials::InClear:
        break;
    case Credentials::EncryptedOnly:
        QVERIFY2(!carriesLogin(clearBytes, login, secretText), clearBytes.constData());
        QVERIFY2(received.contains("PASS " + secretText.toUtf8()) ||
                     received.contains(plainResponse(login, secretText)),
                 received.constData());
        break;
    case Credentials::Never:
        QVERIFY2(!carriesLogin(received, login, secretText), received.constData());
        break;
    }
    if (checkFlights)
        QCOMPARE(fake.flights(), flightList);
    if (checkClear)
        QCOMPARE(clearBytes, clear);
    if (checkReceived)
        QCOMPARE(received, transcript);
    if (handshakes >= 0)
        QCOMPARE(fake.handshakeCount(), handshakes);
}
