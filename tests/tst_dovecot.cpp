#include "Dovecot.h"
#include "Loopback.h"
#include "MailutilsPop3d.h"
#include "ProgramState.h"
#include "app/MorvexApplication.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "mail/GeneralDate.h"
#include "mail/Pop3Codes.h"
#include "mail/Tarvik.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/GraphicalButton.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace {

// One change of the mailbox followed by a click on "Check Now": `delta` messages arrive
// (or go, when negative), the check must see `count`, and the change log must gain
// `entry` (nothing when it is empty).
struct Step {
    int delta;
    int count;
    QString entry;
};

const QString unableToCheck =
    QStringLiteral("     Unable to connect and check mail at this time...");

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

// The real POP3 client against a real Dovecot, driven through the main window as a user
// does it: settings typed into the boxes, "Check Now" clicked, the results read from the
// status lines, the change log and the notification window.
class TestDovecot : public QObject {
    Q_OBJECT

    std::unique_ptr<Dovecot> m_server;
    std::unique_ptr<ProgramState> m_state;

    static Tarvik &tarvik(frmPop &window) { return dynamic_cast<Tarvik &>(window.Tarvik1()); }

    std::unique_ptr<frmPop> openWindow()
    {
        auto window = std::make_unique<frmPop>();
        if (!window->Show())
            return nullptr;
        tarvik(*window).setPopport(m_server->port());
        // An hour between scheduled checks keeps the window's own timer from checking
        // behind the test's back.
        window->Text5->setText(QStringLiteral("60"));
        window->setNext();
        return window;
    }

    static void type(QLineEdit *box, const QString &text)
    {
        box->clear();
        // Letters beyond ASCII come as a keyboard layout gives them: a key with its text.
        for (const QChar c : text) {
            if (c.unicode() < 128)
                QTest::keyClick(box, char(c.unicode()));
            else
                QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), {});
        }
    }

    static void typeSettings(frmPop &window, const QString &user, const QString &password)
    {
        type(window.Text2, QStringLiteral("127.0.0.1"));
        type(window.Text3, user);
        type(window.Text4, password);
    }

    static void clickCheck(frmPop &window) { QTest::mouseClick(window.cmdCheck, Qt::LeftButton); }

    bool setMailbox(int count)
    {
        const int now = m_server->messageCount();
        if (now < 0)
            return false;
        if (now > count)
            return m_server->removeMessages(now - count);
        if (now < count)
            return m_server->addMessages(count - now);
        return true;
    }

    QString diagnostics(frmPop &window) const
    {
        return QStringLiteral("popError %1, popStatus \"%2\", statLbl \"%3\"\nDovecot log:\n%4")
            .arg(tarvik(window).popError())
            .arg(tarvik(window).popStatus(), window.statLbl->text(), m_server->log().right(2000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        MORVEX_REQUIRE_DOVECOT();
        m_server = std::make_unique<Dovecot>();
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }
    void cleanupTestCase() { m_server.reset(); }

    void init() { m_state = std::make_unique<ProgramState>(); }
    void cleanup() { m_state.reset(); }

    void countChanges_data()
    {
        QTest::addColumn<int>("initial");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        const auto row = [](const char *name, int initial, const QList<Step> &steps,
                            const QString &user = Dovecot::user(),
                            const QString &password = Dovecot::password()) {
            QTest::newRow(name) << initial << steps << user << password;
        };
        row("three waiting", 3, {{0, 3, "3 New Messages"}});
        // USER and PASS in the clear, as the server stores them: in UTF-8.
        row("a login with letters beyond ASCII", 2,
            {{0, 2, "2 New Messages"}, {1, 3, "1 New Message"}}, Dovecot::utf8User(),
            Dovecot::utf8Password());
        row("two arrive, three go", 3,
            {{0, 3, "3 New Messages"}, {2, 5, "2 New Messages"}, {-3, 2, "3 Messages Less"}});
        row("unchanged count logs nothing", 3, {{0, 3, "3 New Messages"}, {0, 3, QString()}});
        row("empty, then one arrives", 0, {{0, 0, QString()}, {1, 1, "1 New Message"}});
        row("all go", 2, {{0, 2, "2 New Messages"}, {-2, 0, "2 Messages Less"}});
    }
    void countChanges()
    {
        QFETCH(int, initial);
        QFETCH(QList<Step>, steps);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QVERIFY2(setMailbox(initial), qPrintable(m_server->errorString()));

        auto window = openWindow();
        QVERIFY(window);
        const qsizetype logBefore = m_server->log().size();
        typeSettings(*window, user, password);

        const QRegularExpression countLine(
            QStringLiteral("^  (\\d+) Mails In InBox  \\[ (.+) \\]$"));
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step &step = steps.at(i);
            const QByteArray where = "step " + QByteArray::number(i);
            if (step.delta > 0)
                QVERIFY2(m_server->addMessages(step.delta), qPrintable(m_server->errorString()));
            if (step.delta < 0)
                QVERIFY2(m_server->removeMessages(-step.delta),
                         qPrintable(m_server->errorString()));
            QCOMPARE(m_server->messageCount(), step.count);

            const int entriesBefore = Module1::changeLog().logIdx();
            const QString before = generalDate();
            clickCheck(*window);
            const QString after = generalDate();

            QVERIFY2(tarvik(*window).popError() == Pop3Code::Ok,
                     where + ": " + qPrintable(diagnostics(*window)));
            QVERIFY(!tarvik(*window).popStatus().isEmpty());
            QCOMPARE(window->statLbl->text(), QStringLiteral("   ") + tarvik(*window).popStatus());
            QCOMPARE(tarvik(*window).popCount(), qint64(step.count));

            const QRegularExpressionMatch shown = countLine.match(window->newLbl->text());
            QVERIFY2(shown.hasMatch(), qPrintable(window->newLbl->text()));
            QCOMPARE(shown.captured(1).toInt(), step.count);
            QVERIFY2(shown.captured(2) == before || shown.captured(2) == after,
                     qPrintable(shown.captured(2)));
            QVERIFY(window->cmdCheck->isEnabled());

            const ChangeLog &log = Module1::changeLog();
            if (step.entry.isEmpty()) {
                QVERIFY2(log.logIdx() == entriesBefore,
                         where + ": unexpected entry " + qPrintable(log.logText(log.logIdx())));
                continue;
            }
            QVERIFY2(log.logIdx() == entriesBefore + 1, where + ": no entry");
            QCOMPARE(log.logText(log.logIdx()), step.entry);
            const QString time = log.logTime(log.logIdx());
            QVERIFY2(time == before || time == after, qPrintable(time));

            FrmNotify *notify = Forms::notify().form();
            QVERIFY2(notify, where + ": no notification window");
            QVERIFY(notify->isVisible());
            QCOMPARE(notify->Label1->text(), step.entry);
            QCOMPARE(notify->Label2->text(), QStringLiteral("[ ") + time + QStringLiteral(" ]"));
        }
        QVERIFY2(m_state->boxes.isEmpty(), qPrintable(m_state->boxes.join(u'\n')));
        // The server knew the login by its name, in the clear (its log writes a little behind).
        const QString login = QStringLiteral("Login: user=<%1>, method=PLAIN").arg(user);
        QTRY_VERIFY2_WITH_TIMEOUT(m_server->log().mid(logBefore).contains(login),
                                  qPrintable(m_server->log().mid(logBefore).right(2000)), 5000);
    }

    void failedChecks_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("status"); // empty: "   " + the control's own status

        const QString incorrect = QStringLiteral("  ERROR, Incorrect Login information provided.");
        QTest::newRow("wrong password") << Dovecot::user() << QStringLiteral("wrong") << true
                                        << int(Pop3Code::LoginRefused) << incorrect;
        QTest::newRow("unknown login") << QStringLiteral("nobody") << Dovecot::password() << true
                                       << int(Pop3Code::LoginRefused) << incorrect;
        QTest::newRow("nothing listening") << Dovecot::user() << Dovecot::password() << false
                                           << int(Pop3Code::ConnectionRefused) << QString();
    }
    void failedChecks()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, listening);
        QFETCH(int, error);
        QFETCH(QString, status);
        QVERIFY2(setMailbox(3), qPrintable(m_server->errorString()));

        auto window = openWindow();
        QVERIFY(window);
        typeSettings(*window, Dovecot::user(), Dovecot::password());
        clickCheck(*window);
        QVERIFY2(tarvik(*window).popError() == Pop3Code::Ok, qPrintable(diagnostics(*window)));
        QCOMPARE(Module1::changeLog().logIdx(), 1);

        // The failing check.
        if (!listening) {
            const quint16 port = Loopback::unusedPort();
            QVERIFY(port != 0);
            tarvik(*window).setPopport(port);
        }
        typeSettings(*window, user, password);
        clickCheck(*window);
        QCOMPARE(tarvik(*window).popError(), error);
        if (status.isEmpty()) {
            QVERIFY(!tarvik(*window).popStatus().isEmpty());
            status = QStringLiteral("   ") + tarvik(*window).popStatus();
        }
        QCOMPARE(window->statLbl->text(), status);
        QCOMPARE(window->newLbl->text(), unableToCheck);
        QCOMPARE(tarvik(*window).popCount(), qint64(0));
        QCOMPARE(Module1::changeLog().logIdx(), 1);
        QVERIFY(window->cmdCheck->isEnabled());

        // Put right again, the same three messages are no change.
        tarvik(*window).setPopport(m_server->port());
        typeSettings(*window, Dovecot::user(), Dovecot::password());
        clickCheck(*window);
        QVERIFY2(tarvik(*window).popError() == Pop3Code::Ok, qPrintable(diagnostics(*window)));
        QVERIFY(window->newLbl->text().startsWith(QStringLiteral("  3 Mails In InBox  [ ")));
        QCOMPARE(Module1::changeLog().logIdx(), 1);
        QVERIFY2(m_state->boxes.isEmpty(), qPrintable(m_state->boxes.join(u'\n')));
    }

    // GNU mailutils' pop3d in the clear greets with an APOP timestamp, but the account has
    // no APOP secret, so APOP is refused: the check moves on to USER/PASS and counts.
    void mailutilsPop3dInTheClear()
    {
        const QString missing = MailutilsPop3d::unavailableReason();
        if (!missing.isEmpty()) {
            if (Dovecot::required())
                QFAIL(qPrintable(QStringLiteral("CI=true but ") + missing));
            QSKIP(qPrintable(missing));
        }
        MailutilsPop3d pop3d;
        QVERIFY2(pop3d.start(3), qPrintable(pop3d.errorString()));

        auto window = std::make_unique<frmPop>();
        QVERIFY(window->Show());
        tarvik(*window).setPopport(pop3d.port());
        window->Text5->setText(QStringLiteral("60"));
        window->setNext();
        typeSettings(*window, MailutilsPop3d::user(), MailutilsPop3d::password());
        clickCheck(*window);

        const QString log = pop3d.log();
        QVERIFY2(tarvik(*window).popError() == Pop3Code::Ok,
                 qPrintable(tarvik(*window).popStatus() + QStringLiteral("\npop3d log:\n") +
                            log.right(2000)));
        QCOMPARE(window->statLbl->text(),
                 QStringLiteral("   Mailbox checked (password not encrypted)."));
        QVERIFY2(window->newLbl->text().startsWith(QStringLiteral("  3 Mails In InBox  [ ")),
                 qPrintable(window->newLbl->text()));
        QCOMPARE(Module1::changeLog().logText(Module1::changeLog().logIdx()),
                 QStringLiteral("3 New Messages"));
        // The server's transcript: APOP first, refused, then USER and PASS.
        const qsizetype apop = log.indexOf(QLatin1String("C: APOP "));
        const qsizetype user = log.indexOf(QLatin1String("C: USER "));
        QVERIFY2(apop >= 0 && user > apop, qPrintable(log.right(2000)));
        QVERIFY2(log.indexOf(QLatin1String("-ERR"), apop) < user, qPrintable(log.right(2000)));
    }

    // A notifier runs for weeks: a check must not leave a socket or anything else open.
    void manyChecksLeakNoDescriptors()
    {
        constexpr int checks = 300;
        constexpr int warmUp = 5;
        constexpr qint64 budgetMs = 120000;
        QVERIFY2(setMailbox(3), qPrintable(m_server->errorString()));

        auto window = openWindow();
        QVERIFY(window);
        typeSettings(*window, Dovecot::user(), Dovecot::password());
        // The first checks load what Qt opens once (network and TLS libraries, the
        // notification window).
        for (int i = 0; i < warmUp; ++i) {
            clickCheck(*window);
            QVERIFY2(tarvik(*window).popError() == Pop3Code::Ok, qPrintable(diagnostics(*window)));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const int before = Loopback::openDescriptors();

        QElapsedTimer clock;
        clock.start();
        int done = 0;
        int failed = 0;
        QString firstFailure;
        while (done < checks && !clock.hasExpired(budgetMs)) {
            clickCheck(*window);
            ++done;
            if (tarvik(*window).popError() != Pop3Code::Ok && failed++ == 0)
                firstFailure = QStringLiteral("check %1: ").arg(done) + diagnostics(*window);
        }
        const qint64 elapsed = clock.elapsed();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const int after = Loopback::openDescriptors();

        qInfo("%d checks in %lld ms, descriptors %d before, %d after", done, elapsed, before,
              after);
        QVERIFY2(done == checks, qPrintable(QStringLiteral("only %1 of %2 checks in %3 s")
                                                .arg(done)
                                                .arg(checks)
                                                .arg(budgetMs / 1000)));
        QVERIFY2(failed == 0, qPrintable(QString::number(failed) +
                                         QStringLiteral(" checks failed; first: ") + firstFailure));
        QVERIFY2(after <= before, qPrintable(QStringLiteral("%1 descriptors open before the "
                                                            "checks, %2 after")
                                                 .arg(before)
                                                 .arg(after)));
        QCOMPARE(Module1::changeLog().logIdx(), 1);
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestDovecot test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_dovecot.moc"
