#include "mail/Pop3Outcome.h"
#include "mail/Protection.h"

#include <QTest>

// What a failed TLS handshake is reported as when certificate checking found several
// faults at once, how server text is fitted into the status line, and what a check that
// a server's lower protection stopped says.
class TestPop3Outcome : public QObject {
    Q_OBJECT

private slots:
    void tlsFailed_data();
    void tlsFailed();
    void fitted_data();
    void fitted();
    void lowered_data();
    void lowered();
    void clearNotAllowed_data();
    void clearNotAllowed();
};

using Errors = QList<QSslError::SslError>;
Q_DECLARE_METATYPE(Errors)

void TestPop3Outcome::tlsFailed_data()
{
    QTest::addColumn<Errors>("errors");
    QTest::addColumn<bool>("stls");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("fragment");

    using E = QSslError;
    using namespace Pop3Code;
    QTest::newRow("handshake broke down")
        << Errors{} << false << int(TlsFailed) << QStringLiteral("TLS handshake failed");
    QTest::newRow("STLS handshake broke down")
        << Errors{} << true << int(StlsFailed) << QStringLiteral("not sent");
    QTest::newRow("self-signed and for another name")
        << Errors{E::HostNameMismatch, E::SelfSignedCertificate} << false
        << int(CertificateUntrusted) << QStringLiteral("self-signed");
    QTest::newRow("unknown issuer and expired")
        << Errors{E::CertificateExpired, E::UnableToGetLocalIssuerCertificate} << false
        << int(CertificateUntrusted) << QStringLiteral("trusted authority");
    QTest::newRow("untrusted root in the chain")
        << Errors{E::SelfSignedCertificateInChain} << true << int(CertificateUntrusted)
        << QStringLiteral("trusted authority");
    QTest::newRow("expired and for another name")
        << Errors{E::HostNameMismatch, E::CertificateExpired} << false << int(CertificateExpired)
        << QStringLiteral("expired");
    QTest::newRow("not yet valid") << Errors{E::CertificateNotYetValid} << false
                                   << int(CertificateExpired) << QStringLiteral("not valid yet");
    QTest::newRow("for another name")
        << Errors{E::HostNameMismatch} << true << int(CertificateNameMismatch)
        << QStringLiteral("not for this server");
    QTest::newRow("revoked") << Errors{E::CertificateRevoked} << false << int(CertificateInvalid)
                             << QStringLiteral("Bad certificate: ");
    QTest::newRow("revoked and for another name")
        << Errors{E::CertificateRevoked, E::HostNameMismatch} << false
        << int(CertificateNameMismatch) << QStringLiteral("not for this server");
}

void TestPop3Outcome::tlsFailed()
{
    QFETCH(Errors, errors);
    QFETCH(bool, stls);
    QFETCH(int, code);
    QFETCH(QString, fragment);

    QList<QSslError> list;
    for (const QSslError::SslError error : errors)
        list.append(QSslError(error));
    const Pop3Outcome outcome = Pop3Outcome::tlsFailed(list, stls);
    QCOMPARE(outcome.code, code);
    QVERIFY2(outcome.status.contains(fragment), qPrintable(outcome.status));
    QVERIFY2(outcome.status.size() <= Pop3Outcome::MaxStatus, qPrintable(outcome.status));
    QCOMPARE(outcome.count, qint64(0));
}

void TestPop3Outcome::fitted_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("fits") << QStringLiteral("Refused: ") << QByteArray("no")
                          << QStringLiteral("Refused: no");
    QTest::newRow("nothing to show")
        << QStringLiteral("Refused: ") << QByteArray("\x01\x02") << QStringLiteral("fallback");
    constexpr int max = Pop3Outcome::MaxStatus;
    QTest::newRow("cut to fit") << QStringLiteral("Refused: ") << QByteArray(60, 'a')
                                << QStringLiteral("Refused: ") +
                                       QString(max - 10, QLatin1Char('a')) + QChar(0x2026);
    QTest::newRow("prefix leaves no room")
        << QString(max, QLatin1Char('p')) << QByteArray("x") << QStringLiteral("fallback");
}

void TestPop3Outcome::fitted()
{
    QFETCH(QString, prefix);
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    QCOMPARE(Pop3Outcome::fitted(prefix, text, QStringLiteral("fallback")), expected);
}

void TestPop3Outcome::lowered_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("status");
    QTest::newRow("TLS") << int(Protection::Tls)
                         << QStringLiteral("TLS no longer offered; password not sent.");
    QTest::newRow("SCRAM") << int(Protection::Scram)
                           << QStringLiteral("SCRAM no longer offered; password not sent.");
    QTest::newRow("APOP") << int(Protection::Apop)
                          << QStringLiteral("APOP no longer offered; password not sent.");
}

void TestPop3Outcome::lowered()
{
    QFETCH(int, level);
    QFETCH(QString, status);
    const QString shown = ProtectionText::lowered(Protection(level));
    QCOMPARE(shown, status);
    QVERIFY2(shown.size() <= Pop3Outcome::MaxStatus, qPrintable(shown));
}

// What to type to allow the clear, with the host where it fits and never cut.
void TestPop3Outcome::clearNotAllowed_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("status");
    QTest::newRow("short name") << "mail.test"
                                << "No TLS: to log in, type pop3://mail.test";
    QTest::newRow("longest name shown") << "pop.example.org."
                                        << "No TLS: to log in, type pop3://pop.example.org.";
    QTest::newRow("one character more") << "mail.example.org."
                                        << "No TLS: to log in, put pop3:// before the host.";
    QTest::newRow("IPv6") << "[2001:db8::7]"
                          << "No TLS: to log in, type pop3://[2001:db8::7]";
}

void TestPop3Outcome::clearNotAllowed()
{
    QFETCH(QString, host);
    QFETCH(QString, status);
    const Pop3Outcome outcome = Pop3Outcome::clearNotAllowed(host);
    QCOMPARE(outcome.code, int(Pop3Code::ClearNotAllowed));
    QCOMPARE(outcome.status, status);
    QVERIFY(outcome.status.size() <= Pop3Outcome::MaxStatus);
}

QTEST_GUILESS_MAIN(TestPop3Outcome)
#include "tst_pop3outcome.moc"
