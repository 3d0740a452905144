#include "TarvikCase.h"

#include "Loopback.h"

#include "TestCertificates.h"
#include "mail/Pop3Outcome.h"
#include "mail/Tarvik.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

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

QByteArray nonComments(const QByteArray &content)
{
    QByteArray kept;
    for (const QByteArray &line : content.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            kept += line + '\n';
    }
    return kept;
}

} // namespace

bool fitsStatusLine(const QString &status)
{
    if (status.isEmpty() || status.size() > Pop3Outcome::MaxStatus)
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

TarvikCase &TarvikCase::remembering(const QByteArray &lines)
{
    stateBefore = lines;
    return *this;
}

TarvikCase &TarvikCase::after(const FakePop3Script &earlierScript, bool onFreshTarvik)
{
    earlier.append(earlierScript);
    restart = onFreshTarvik;
    return *this;
}

TarvikCase &TarvikCase::leaves(const QByteArray &lines)
{
    checkState = true;
    stateAfter = lines;
    return *this;
}

TarvikCase &TarvikCase::bare(const QString &hostText, const QString &listenAddress)
{
    bareHost = true;
    serverText = hostText;
    address = listenAddress;
    return *this;
}

TarvikCase &TarvikCase::with995(const FakePop3Script &script, int connectionCount)
{
    secure = script;
    secureConnections = connectionCount;
    return *this;
}

void TarvikCase::run() const
{
    const TestCertificates &pki = TestCertificates::instance();
    QVERIFY2(pki.errorString().isEmpty(), qPrintable(pki.errorString()));
    const TestCertificates::Identity id = pki.identity(identity);
    QVERIFY2(!id.isNull(), qPrintable(identity));

    FakeTls fakeTls{{id.certificate}, id.key, server == Server::ImplicitTls};
    const QHostAddress listen = !address.isEmpty() ? QHostAddress(address)
                                                   : QHostAddress(ipv6 ? QHostAddress::LocalHostIPv6
                                                                       : QHostAddress::LocalHost);
    FakePop3Server fake(script, fakeTls, listen, bareHost ? 110 : 0);
    if (ipv6 && !fake.isListening())
        QSKIP("no IPv6 loopback here");
    QVERIFY(fake.isListening());
    std::unique_ptr<FakePop3Server> on995;
    if (secure) {
        const TestCertificates::Identity secureId =
            secureIdentity.isEmpty() ? id : pki.identity(secureIdentity);
        QVERIFY2(!secureId.isNull(), qPrintable(secureIdentity));
        on995 = std::make_unique<FakePop3Server>(
            *secure, FakeTls{{secureId.certificate}, secureId.key, !secureInClear}, listen, 995);
        QVERIFY(on995->isListening());
    }

    const auto expand = [&fake](QByteArray text) {
        return text.replace("%h", fake.host().toUtf8())
            .replace("%p", QByteArray::number(fake.port()));
    };
    QTemporaryDir stateHome;
    QVERIFY(stateHome.isValid());
    const QString stateFolder = stateHome.filePath(QStringLiteral("morvex"));
    const QString stateFile = stateFolder + QStringLiteral("/servers");
    // The folder as the program makes it: its owner's only.
    const auto makeFolder = [&] {
        return QDir().mkpath(stateFolder) &&
               QFile::setPermissions(stateFolder,
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    if (!stateBefore.isEmpty()) {
        QVERIFY(makeFolder());
        QFile seed(stateFile);
        QVERIFY(seed.open(QIODevice::WriteOnly));
        seed.write(expand(stateBefore));
    }
    switch (stateKind) {
    case StateFile::Regular:
        break;
    case StateFile::Fifo:
        QVERIFY(makeFolder());
        QVERIFY(::mkfifo(QFile::encodeName(stateFile).constData(), 0600) == 0);
        break;
    case StateFile::Unwritable:
        // What the store writes first, before it renames it over the file: a folder in its
        // way fails the write as a full or read-only home would, also for root.
        QVERIFY(makeFolder() && QDir().mkpath(stateFile + QStringLiteral(".new")));
        break;
    }

    QString textual = serverText.isEmpty() ? fake.host() : serverText;
    textual.replace(QLatin1String("%h"), fake.host())
        .replace(QLatin1String("%p"), QString::number(fake.port()));
    if (textual.contains(QLatin1String("%r"))) {
        const quint16 port = Loopback::unusedPort();
        QVERIFY(port != 0);
        textual.replace(QLatin1String("%r"), QString::number(port));
    }
    const auto aim = [&](Tarvik &control) {
        if (!bareHost)
            control.setPopport(fake.port());
        control.setPophostname(textual);
        control.setPopusername(login);
        control.setPoppassword(secretText);
        control.setScramNonce(nonce);
        control.setPoptimeout(timeout);
        control.setProtectionFile(stateFile);
        if (trustTestCa)
            control.setExtraCaCertificates({pki.authority()});
    };
    Tarvik tarvik;
    aim(tarvik);

    for (const FakePop3Script &before : earlier) {
        fake.setScript(before);
        std::unique_ptr<Tarvik> fresh;
        if (restart) {
            fresh = std::make_unique<Tarvik>();
            aim(*fresh);
        }
        Tarvik &control = fresh ? *fresh : tarvik;
        control.popCheck();
        QVERIFY2(control.popError() == earlierCode,
                 qPrintable(QStringLiteral("earlier check: ") + control.popStatus()));
        control.popClose();
        QTRY_COMPARE_WITH_TIMEOUT(fake.openConnectionCount(), 0, 5000);
    }
    fake.setScript(script);
    fake.clearLog();
    if (on995)
        on995->clearLog();

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
    QByteArray received = fake.received();
    QByteArray clearBytes = fake.receivedInClear();
    int handshakeCount = fake.handshakeCount();
    if (on995) {
        // The connection that lost the race, too, is closed.
        QTRY_COMPARE_WITH_TIMEOUT(on995->openConnectionCount(), 0, 5000);
        if (secureConnections >= 0)
            QCOMPARE(on995->connectionCount(), secureConnections);
        received += on995->received();
        clearBytes += on995->receivedInClear();
        handshakeCount += on995->handshakeCount();
    }
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
        QCOMPARE(handshakeCount, handshakes);

    // What the server gave is kept for its owner's eyes only.
    if (QFileInfo::exists(stateFile)) {
        QCOMPARE(QFileInfo(stateFile).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        if (stateBefore.isEmpty())
            QCOMPARE(QFileInfo(stateFolder).permissions() &
                         ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (checkState) {
        QFile file(stateFile);
        const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        QCOMPARE(nonComments(content), expand(stateAfter));
    }
}
