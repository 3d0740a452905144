// The real POP3 client, through the main window, against four more real servers from
// Debian (Courier's pop3d, Cyrus's pop3d, Solid POP3, popa3d; scripts/more-pop3d runs them
// on loopback from their unpacked packages), in every mode each offers: the count and the
// protection in the status line, the change log after two messages arrive, a wrong password,
// and protection turned off on the server after a good check.
#include "Dovecot.h"
#include "ProgramState.h"
#include "TestCertificates.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"
#include "ui/GraphicalButton.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// One server of scripts/more-pop3d in a folder of its own, stopped when this goes away.
class MoreServer {
public:
    ~MoreServer()
    {
        if (m_started)
            run({QStringLiteral("stop"), m_dir.path()});
    }

    // Starts (or restarts, on the same ports and mailbox) the server with the options.
    bool start(const QString &kind, const QStringList &options)
    {
        if (m_started && !run({QStringLiteral("stop"), m_dir.path()}))
            return false;
        QByteArray out;
        if (!run(QStringList{QStringLiteral("start"), kind, m_dir.path()} + options, &out))
            return false;
        m_started = true;
        const QList<QByteArray> ports = out.trimmed().split('\n');
        m_port = ports.value(0).trimmed().toUShort();
        m_pop3sPort = ports.value(1).trimmed().toUShort();
        return m_port != 0;
    }
    bool add(int messages)
    {
        return run({QStringLiteral("add"), m_dir.path(), QString::number(messages)});
    }
    QString text(const QString &pattern) const
    {
        return QString(pattern)
            .replace(QLatin1String("%p"), QString::number(m_port))
            .replace(QLatin1String("%s"), QString::number(m_pop3sPort));
    }
    QString error() const { return m_error; }

    static QString script() { return QStringLiteral(MORVEX_SOURCE_DIR "/scripts/more-pop3d"); }
    static QString root() { return QStringLiteral(MORVEX_BUILD_DIR "/more-pop3d"); }

    // Runs the script; out gets its standard output.
    bool run(const QStringList &arguments, QByteArray *out = nullptr, int *status = nullptr)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORE_POP3D_ROOT"), root());
        process.setProcessEnvironment(environment);
        process.start(script(), arguments);
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
        }
        if (out)
            *out = process.readAllStandardOutput();
        if (status)
            *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        m_error = arguments.join(u' ') + QStringLiteral(": ") +
                  QString::fromLocal8Bit(process.readAllStandardError()).right(1500);
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

private:
    QTemporaryDir m_dir;
    bool m_started = false;
    quint16 m_port = 0;
    quint16 m_pop3sPort = 0;
    QString m_error;
};

const QString unableToCheck =
    QStringLiteral("     Unable to connect and check mail at this time...");

} // namespace

class TestMoreServers : public QObject {
    Q_OBJECT

    QStringList m_tls; // --cert and --key of the test authority's localhost certificate

private slots:
    void initTestCase()
    {
        MORVEX_REQUIRE_DOVECOT(); // root, as for Dovecot
        MoreServer fetcher;
        int status = 0;
        if (!fetcher.run({QStringLiteral("fetch"), MoreServer::root()}, nullptr, &status)) {
            if (status == 77 && !Dovecot::required())
                QSKIP(qPrintable(fetcher.error()));
            QFAIL(qPrintable(fetcher.error()));
        }
        const TestCertificates::Identity id =
            TestCertificates::instance().identity(QStringLiteral("localhost"));
        QVERIFY(!id.isNull());
        m_tls = {QStringLiteral("--tls"), QStringLiteral("--cert"), id.certificateFile,
                 QStringLiteral("--key"), id.keyFile};
    }

    void check_data();
    void check();
};

void TestMoreServers::check_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("server"); // %p the POP3 port, %s the pop3s port
    QTest::addColumn<QString>("password");
    // Options of a restart after a first good check with the options above; none: no restart.
    QTest::addColumn<QStringList>("then");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status"); // Tarvik's status, or a part of it for a failure

    const QString plain = QStringLiteral("127.0.0.1:%p");
    const QString pop3s = QStringLiteral("pop3s://127.0.0.1:%s");
    const QString good = QStringLiteral("secret");
    const QString tls = QStringLiteral("Mailbox checked (TLS).");
    const QString scram = QStringLiteral("Mailbox checked (SCRAM, password not sent).");
    const QStringList noSasl{QStringLiteral("--sasl"), QString()};
    const QStringList none;
    using namespace Pop3Code;
    const auto row = [&](const char *name, const QString &kind, const QStringList &options,
                         const QString &server, const QString &password, const QStringList &then,
                         int code, const QString &status) {
        QTest::newRow(name) << kind << options << server << password << then << code << status;
    };
    const QString courier = QStringLiteral("courier");
    const QStringList courierTls = m_tls;
    row("Courier, USER and PASS in the clear", courier, noSasl, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (password not encrypted)."));
    row("Courier, CRAM-MD5", courier, none, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (CRAM-MD5, password not sent)."));
    row("Courier, STLS", courier, courierTls, plain, good, none, Ok, tls);
    row("Courier, pop3s", courier, courierTls, pop3s, good, none, Ok, tls);
    row("Courier, wrong password", courier, noSasl, plain, QStringLiteral("wrong"), none,
        LoginRefused, QStringLiteral("Password refused"));
    row("Courier, TLS turned off after a good check", courier, courierTls, plain, good,
        noSasl + QStringList{QStringLiteral("--no-tls")}, ProtectionLowered,
        QStringLiteral("TLS no longer offered; password not sent."));

    const QString cyrus = QStringLiteral("cyrus");
    row("Cyrus, SCRAM-SHA-256", cyrus, none, plain, good, none, Ok, scram);
    row("Cyrus, SCRAM-SHA-1", cyrus, {QStringLiteral("--sasl"), QStringLiteral("SCRAM-SHA-1")},
        plain, good, none, Ok, scram);
    row("Cyrus, APOP", cyrus, noSasl, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (APOP, password not sent)."));
    row("Cyrus, STLS", cyrus, m_tls, plain, good, none, Ok, tls);
    row("Cyrus, pop3s", cyrus, m_tls, pop3s, good, none, Ok, tls);
    row("Cyrus, wrong password", cyrus, none, plain, QStringLiteral("wrong"), none, LoginRefused,
        QStringLiteral("Password refused"));
    row("Cyrus, SCRAM turned off after a good check", cyrus, none, plain, good,
        noSasl + QStringList{QStringLiteral("--no-apop")}, ProtectionLowered,
        QStringLiteral("SCRAM no longer offered; password not sent."));
    row("Cyrus, TLS turned off after a good check", cyrus, m_tls, plain, good,
        {QStringLiteral("--no-tls")}, ProtectionLowered,
        QStringLiteral("TLS no longer offered; password not sent."));

    const QString solid = QStringLiteral("solid");
    row("Solid POP3, APOP", solid, none, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (APOP, password not sent)."));
    row("Solid POP3 without APOP", solid, {QStringLiteral("--no-apop")}, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (password not encrypted)."));
    row("Solid POP3, wrong password", solid, none, plain, QStringLiteral("wrong"), none,
        LoginRefused, QStringLiteral("Password refused: authentication failed"));

    const QString popa3d = QStringLiteral("popa3d");
    row("popa3d, USER and PASS", popa3d, none, plain, good, none, Ok,
        QStringLiteral("Mailbox checked (password not encrypted)."));
    row("popa3d, wrong password", popa3d, none, plain, QStringLiteral("wrong"), none, LoginRefused,
        QStringLiteral("Password refused: Authentication failed"));
}

void TestMoreServers::check()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, options);
    QFETCH(QString, server);
    QFETCH(QString, password);
    QFETCH(QStringList, then);
    QFETCH(int, code);
    QFETCH(QString, status);

    MoreServer pop3d;
    QVERIFY2(pop3d.start(kind, options), qPrintable(pop3d.error()));
    ProgramState state;
    auto window = std::make_unique<frmPop>();
    QVERIFY(window->Show());
    auto &tarvik = dynamic_cast<Tarvik &>(window->Tarvik1());
    tarvik.setExtraCaCertificates({TestCertificates::instance().authority()});
    // An hour between scheduled checks keeps the window's own timer out of the way.
    window->Text5->setText(QStringLiteral("60"));
    window->setNext();
    window->Text2->setText(pop3d.text(server));
    window->Text3->setText(QStringLiteral("testuser"));
    window->Text4->setText(then.isEmpty() ? password : QStringLiteral("secret"));

    const auto checkNow = [&] { QTest::mouseClick(window->cmdCheck, Qt::LeftButton); };
    const auto why = [&] {
        return QStringLiteral("%1 (code %2)").arg(tarvik.popStatus()).arg(tarvik.popError());
    };
    checkNow();
    if (!then.isEmpty()) {
        // A good check first; then the server's administrator turns something off.
        QVERIFY2(tarvik.popError() == Pop3Code::Ok, qPrintable(why()));
        QVERIFY2(pop3d.start(kind, then), qPrintable(pop3d.error()));
        window->Text4->setText(password);
        checkNow();
    }
    QVERIFY2(tarvik.popError() == code, qPrintable(why()));
    if (code != Pop3Code::Ok) {
        QVERIFY2(tarvik.popStatus().contains(status), qPrintable(why()));
        QCOMPARE(window->newLbl->text(), unableToCheck);
        return;
    }
    QCOMPARE(window->statLbl->text(), QStringLiteral("   ") + status);
    QVERIFY2(window->newLbl->text().startsWith(QStringLiteral("  3 Mails In InBox  [ ")),
             qPrintable(window->newLbl->text()));
    const ChangeLog &log = Module1::changeLog();
    QCOMPARE(log.logText(log.logIdx()), QStringLiteral("3 New Messages"));

    QVERIFY2(pop3d.add(2), qPrintable(pop3d.error()));
    checkNow();
    QVERIFY2(tarvik.popError() == Pop3Code::Ok, qPrintable(why()));
    QCOMPARE(tarvik.popCount(), 5);
    QCOMPARE(log.logText(log.logIdx()), QStringLiteral("2 New Messages"));
}

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestMoreServers test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_moreservers.moc"
