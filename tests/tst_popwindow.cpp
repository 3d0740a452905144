#include "FakePop3Server.h"
#include "FakeTicks.h"
#include "ProgramState.h"
#include "ScriptedControl.h"
#include "WholeCaption.h"
#include "app/MorvexApplication.h"
#include "app/SingleInstance.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "mail/GeneralDate.h"
#include "mail/Pop3Outcome.h"
#include "mail/ProtectionStore.h"
#include "mail/Tarvik.h"
#include "settings/FlipChars.h"
#include "settings/SettingsStore.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/GraphicalButton.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyleOptionButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

// The main window as a user meets it: its controls, start-up, the buttons and the
// settings, offscreen.
class TestPopWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramState> m_state;
    std::shared_ptr<FakeTicks> m_ticks;
    ScriptedControl *m_control = nullptr;

    std::unique_ptr<frmPop> makeWindow()
    {
        m_ticks = std::make_shared<FakeTicks>(50000);
        return scriptedWindow(&m_control, m_ticks);
    }

    static void store(const QList<QPair<QString, QString>> &values)
    {
        ProgramState::storeSettings(values);
    }

private Q_SLOTS:
    void init() { m_state = std::make_unique<ProgramState>(); }
    void cleanup() { m_state.reset(); }

    void designState_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("visible");
        QTest::newRow("Text1") << "Text1"
                               << "Timer" << false;
        QTest::newRow("Text2") << "Text2"
                               << "Server" << true;
        QTest::newRow("Text3") << "Text3"
                               << "Login" << true;
        QTest::newRow("Text4") << "Text4"
                               << "" << true;
        QTest::newRow("Text5") << "Text5"
                               << "10" << true;
        QTest::newRow("Check1") << "Check1"
                                << "Minimize at startup" << true;
        QTest::newRow("cmdCheck") << "cmdCheck"
                                  << "Check Now" << true;
        QTest::newRow("cmdSet") << "cmdSet"
                                << "Save" << true;
        QTest::newRow("cmdReSet") << "cmdReSet"
                                  << "Reset" << true;
        QTest::newRow("statLbl") << "statLbl"
                                 << " Status......" << true;
        QTest::newRow("newLbl") << "newLbl"
                                << " Mails In InBox...." << true;
        QTest::newRow("Label1") << "Label1"
                                << "Check after every (min)" << true;
        QTest::newRow("Label2") << "Label2"
                                << "Minimise" << true;
        QTest::newRow("Label3") << "Label3"
                                << "View Log" << true;
        QTest::newRow("Label4") << "Label4"
                                << "Close" << true;
    }
    void designState()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(bool, visible);
        auto window = makeWindow();
        QWidget *control = window->findChild<QWidget *>(name);
        QVERIFY(control);
        QString shown;
        if (auto *edit = qobject_cast<QLineEdit *>(control))
            shown = edit->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(control))
            shown = button->text();
        else if (auto *label = qobject_cast<QLabel *>(control))
            shown = label->text();
        QCOMPARE(shown, text);
        QCOMPARE(control->isVisibleTo(window.get()), visible);
        // Captions show whole, in the window's font or a little smaller.
        if (auto *label = qobject_cast<QLabel *>(control)) {
            verifyWholeCaption(label->font(), text, label->contentsRect().size(), 8.25);
        } else if (auto *box = qobject_cast<QCheckBox *>(control)) {
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            const QRect room =
                box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
            QVERIFY(box->rect().contains(room));
            verifyWholeCaption(box->font(), text, room.size(), 8.25);
        }
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(window->Text4->echoMode(), QLineEdit::Password);
        QVERIFY(!window->Check1->isChecked());
        QCOMPARE(window->Tim2->interval(), 10000);
        QCOMPARE(window->Timer1->interval(), 1);
        QVERIFY(!window->Timer1->isActive());
    }

    void firstStart()
    {
        auto window = makeWindow();
        QVERIFY(window->Show());
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowStateValue(), 0);
        QCOMPARE(window->Text2->text(), QStringLiteral("Server"));
        QCOMPARE(window->Text3->text(), QStringLiteral("Login"));
        QCOMPARE(window->Text4->text(), QString());
        QCOMPARE(window->Text5->text(), QStringLiteral("5"));
        QVERIFY(window->trayData());
        QCOMPARE(window->trayData()->toolTip(), QStringLiteral("Morvex Mail Notifier."));
        QCOMPARE(window->Image1->toolTip(), QStringLiteral("Morvex Ver 1.019  by Halvern"));
        QCOMPARE(m_control->timeout, 30);
        QVERIFY(window->Tim2->isActive());
        QCOMPARE(window->fields().nextTick, 0);
        QVERIFY(m_state->boxes.isEmpty());
    }

    void minimisedStart()
    {
        store({{"AtStart", "Min"}});
        auto window = makeWindow();
        QVERIFY(window->Show());
        QVERIFY(window->Check1->isChecked());
        QCOMPARE(window->windowStateValue(), 1);
        QVERIFY(window->trayData());
        QTRY_VERIFY_WITH_TIMEOUT(!window->Timer1->isActive(), 2000); // it ran once
        QVERIFY(!window->isVisible());
    }

    void secondCopyRefused()
    {
        SingleInstance first; // another copy holds this user's lock
        QVERIFY(!first.prevInstance());
        store({{"Server", "pop.example.org"}});
        auto window = makeWindow();
        QVERIFY(!window->Show());
        QCOMPARE(m_state->boxes, QStringList{"Morvex Ver1.0|Morvex Mail Notifier already loaded"});
        QCOMPARE(window->Text2->text(), QStringLiteral("Server")); // settings untouched
        QVERIFY(!window->trayData());
        QVERIFY(!window->isVisible());
        QVERIFY(!window->Tim2->isActive());
    }

    // The lock that keeps a second copy out is this user's own wherever it is: another local
    // user can plant neither the folder nor the file that would stop the program.
    void lockIsTheUsersOwn_data()
    {
        QTest::addColumn<QString>("runtime");  // "own", "none" or "other's"
        QTest::addColumn<bool>("plantedTemp"); // folders and a live lock in the temp folder
        QTest::addColumn<bool>("plantedLock"); // a live lock of another user at the path
        QTest::newRow("own runtime dir") << "own" << false << false;
        QTest::newRow("no runtime dir") << "none" << false << false;
        QTest::newRow("runtime dir of another user") << "other's" << false << false;
        QTest::newRow("temp folder planted by another user") << "none" << true << false;
        QTest::newRow("lock file of another user") << "own" << false << true;
    }
    void lockIsTheUsersOwn()
    {
        QFETCH(QString, runtime);
        QFETCH(bool, plantedTemp);
        QFETCH(bool, plantedLock);
        constexpr uid_t Nobody = 65534;
        if ((runtime == u"other's" || plantedTemp || plantedLock) && ::geteuid() != 0)
            QSKIP("planting another user's files needs root");
        QTemporaryDir root;
        const QByteArray tmp = QFile::encodeName(root.path() + QStringLiteral("/tmp"));
        const QByteArray cache = QFile::encodeName(root.path() + QStringLiteral("/cache"));
        QVERIFY(QDir().mkpath(QString::fromUtf8(tmp)));
        ::chmod(tmp.constData(), 01777); // shared like /tmp
        const QByteArray tmpBefore = qgetenv("TMPDIR");
        const QByteArray cacheBefore = qgetenv("XDG_CACHE_HOME");
        const auto restore = qScopeGuard([&] {
            tmpBefore.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmpBefore);
            cacheBefore.isNull() ? qunsetenv("XDG_CACHE_HOME")
                                 : qputenv("XDG_CACHE_HOME", cacheBefore);
        });
        qputenv("TMPDIR", tmp);
        qputenv("XDG_CACHE_HOME", cache);
        if (runtime == u"none") {
            qunsetenv("XDG_RUNTIME_DIR");
        } else if (runtime == u"other's") {
            const QByteArray theirs = QFile::encodeName(root.path() + QStringLiteral("/theirs"));
            QVERIFY(::mkdir(theirs.constData(), 0700) == 0);
            QVERIFY(::chown(theirs.constData(), Nobody, Nobody) == 0);
            qputenv("XDG_RUNTIME_DIR", theirs);
        }
        std::unique_ptr<QLockFile> planted;
        if (plantedTemp) {
            // Every name a shared path could take, made by someone else; the lock in it is
            // held by a live process.
            for (const QByteArray &name : {QByteArray("/morvex-") + QByteArray::number(::geteuid()),
                                           QByteArray("/runtime-root")}) {
                QVERIFY(::mkdir((tmp + name).constData(), 0777) == 0);
                ::chmod((tmp + name).constData(), 0777);
                QVERIFY(::chown((tmp + name).constData(), Nobody, Nobody) == 0);
            }
            planted = std::make_unique<QLockFile>(QString::fromUtf8(tmp + "/morvex.lock"));
            QVERIFY(planted->tryLock(0));
            QVERIFY(::chown((tmp + "/morvex.lock").constData(), Nobody, Nobody) == 0);
        }

        const QString path = SingleInstance::defaultLockPath();
        QVERIFY(!path.isEmpty());
        struct stat folder {};
        QCOMPARE(::lstat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder), 0);
        QCOMPARE(folder.st_uid, ::geteuid());
        QCOMPARE(folder.st_mode & 0777, mode_t(0700));
        if (runtime == u"own")
            QCOMPARE(QFileInfo(path).path(), m_state->dirs.runtimeDir());
        if (plantedLock) {
            planted = std::make_unique<QLockFile>(path);
            QVERIFY(planted->tryLock(0));
            QVERIFY(::chown(QFile::encodeName(path).constData(), Nobody, Nobody) == 0);
        }

        auto window = makeWindow();
        QVERIFY(window->Show());
        QVERIFY(m_state->boxes.isEmpty());
        SingleInstance second; // the same user's next start is refused while one runs
        QCOMPARE(second.prevInstance(), !plantedLock);
    }

    void checkNowShowsResult()
    {
        auto window = makeWindow();
        QVERIFY(window->Show());
        window->Text2->setText(QStringLiteral(" pop.example.org "));
        m_control->count = 3;
        m_control->status = QStringLiteral("Mailbox checked.");
        QSignalSpy logged(window.get(), &frmPop::changeLogged);
        QTest::mouseClick(window->cmdCheck, Qt::LeftButton);
        QCOMPARE(m_control->host, QStringLiteral("pop.example.org"));
        QCOMPARE(window->statLbl->text(), QStringLiteral("   Mailbox checked."));
        QVERIFY(window->newLbl->text().startsWith(QStringLiteral("  3 Mails In InBox  [ ")));
        QCOMPARE(Module1::changeLog().logIdx(), 1);
        QCOMPARE(Module1::changeLog().logText(1), QStringLiteral("3 New Messages"));
        QCOMPARE(logged.count(), 1);
        QVERIFY(window->cmdCheck->isEnabled());
    }

    // A mailbox of any size, and a long local date, leave the count line and the
    // notification whole.
    void countLineShowsWhole_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("locale"); // empty: the date of the check itself
        QTest::newRow("1234567") << 1234567 << "";
        QTest::newRow("2147483647") << 2147483647 << "";
        QTest::newRow("2147483647, Kabyle date") << 2147483647 << "kab_DZ";
    }
    void countLineShowsWhole()
    {
        QFETCH(int, count);
        QFETCH(QString, locale);
        auto window = makeWindow();
        QVERIFY(window->Show());
        m_control->count = count;
        QTest::mouseClick(window->cmdCheck, Qt::LeftButton);
        const QString number = QString::number(count);
        QString line = window->newLbl->text();
        QVERIFY2(
            line.startsWith(QStringLiteral("  ") + number + QStringLiteral(" Mails In InBox  [ ")),
            qPrintable(line));
        if (!locale.isEmpty()) {
            const QDateTime late(QDate(2026, 12, 30), QTime(23, 59, 58));
            line = QStringLiteral("  %1 Mails In InBox  [ %2 ]")
                       .arg(number, generalDate(late, QLocale(locale)));
            window->setNewLbl(line);
            QCOMPARE(window->newLbl->text(), line);
        }
        QCOMPARE(window->newLbl->geometry(), QRect(52, 130, 272, 17));
        verifyWholeCaption(window->newLbl->font(), line, window->newLbl->size(), 8.25);
        if (QTest::currentTestFailed())
            return;
        FrmNotify *shown = Forms::notify().form();
        QVERIFY(shown);
        const QString entry = number + QStringLiteral(" New Messages");
        QCOMPARE(shown->Label1->text(), entry);
        verifyWholeCaption(shown->Label1->font(), entry, shown->Label1->size(), 18);
    }

    // The longest statuses of a check that sends nothing secret fit the status line at the
    // window's own size.
    void statusShowsWhole_data()
    {
        QTest::addColumn<QString>("status");
        QTest::newRow("no TLS, the longest host shown")
            << Pop3Outcome::clearNotAllowed(QStringLiteral("pop.example.org.")).status;
        QTest::newRow("no TLS, without the host")
            << Pop3Outcome::clearNotAllowed(QString(64, QLatin1Char('h'))).status;
        QTest::newRow("file of servers not written")
            << ProtectionStore(QDir::homePath() + QStringLiteral("/.local/state/morvex/servers"))
                   .unwritableStatus();
        QTest::newRow("port 995 remembered, gone") << "TLS port 995 unreachable; 110 not tried.";
    }
    void statusShowsWhole()
    {
        QFETCH(QString, status);
        auto window = makeWindow();
        QVERIFY(window->Show());
        m_control->error = Pop3Code::ClearNotAllowed;
        m_control->status = status;
        QTest::mouseClick(window->cmdCheck, Qt::LeftButton);
        const QString line = QStringLiteral("   ") + status;
        QCOMPARE(window->statLbl->text(), line);
        verifyWholeCaption(window->statLbl->font(), line, window->statLbl->contentsRect().size(),
                           8.25);
        QCOMPARE(window->statLbl->font().pointSizeF(), 8.25);
    }

    void enterInAnyBoxChecks_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("checks");
        for (const char *name : {"Text2", "Text3", "Text4", "Text5", "Check1"})
            QTest::newRow(name) << name << 1;
        QTest::newRow("cmdSet: not Check Now") << "cmdSet" << 0;
    }
    void enterInAnyBoxChecks()
    {
        QFETCH(QString, box);
        QFETCH(int, checks);
        auto window = makeWindow();
        QVERIFY(window->Show());
        auto *control = window->findChild<QWidget *>(box);
        QVERIFY(control);
        const bool ticked = window->Check1->isChecked();
        QTest::keyClick(control, Qt::Key_Return);
        QCOMPARE(m_control->checks, checks);
        QCOMPARE(window->Check1->isChecked(), ticked);
    }

    void saveStoresAndRestartsSchedule_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<qint64>("ahead");
        QTest::newRow("0") << "0"
                           << "5" << qint64(300000);
        QTest::newRow("-3") << "-3"
                            << "5" << qint64(300000);
        QTest::newRow("letters") << "soon"
                                 << "5" << qint64(300000);
        QTest::newRow("2.5") << "2.5"
                             << "2.5" << qint64(150000);
        QTest::newRow("7 and a word") << "7 min"
                                      << "7 min" << qint64(420000);
    }
    void saveStoresAndRestartsSchedule()
    {
        QFETCH(QString, interval);
        QFETCH(QString, stored);
        QFETCH(qint64, ahead);
        auto window = makeWindow();
        QVERIFY(window->Show());
        window->Text2->setText(QStringLiteral("  pop.example.org "));
        window->Text4->setText(QStringLiteral("pw"));
        window->Text5->setText(interval);
        window->Check1->setChecked(true);
        m_ticks->set(123456);
        QTest::mouseClick(window->cmdSet, Qt::LeftButton);
        QCOMPARE(window->Text5->text(), stored);
        QCOMPARE(window->Text2->text(), QStringLiteral("  pop.example.org ")); // box unchanged
        QCOMPARE(window->fields().nextTick, 123456 + ahead);
        QVERIFY(window->Tim2->isActive());
        SettingsStore check;
        QCOMPARE(check.getSetting("Server", {}), QStringLiteral("pop.example.org"));
        QCOMPARE(check.getSetting("Pass", {}), flipChars(QStringLiteral("pw")));
        QCOMPARE(check.getSetting("Interval", {}), stored);
        QCOMPARE(check.getSetting("AtStart", {}), QStringLiteral("Min"));
        QCOMPARE(window->statLbl->text(), QStringLiteral(" Status......"));
    }

    void failedSaveSaysSo()
    {
        auto window = makeWindow();
        QVERIFY(window->Show());
        // The configuration directory cannot be made: a file stands in its way.
        QDir(m_state->dirs.configDir()).removeRecursively();
        QFile blocker(m_state->dirs.configDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTest::mouseClick(window->cmdSet, Qt::LeftButton);
        QCOMPARE(window->statLbl->text(), QStringLiteral("  ERROR, Settings could not be saved."));
    }

    void resetReloadsWithoutRestart()
    {
        store({{"Server", "stored.example.org"}, {"Interval", "3"}});
        auto window = makeWindow();
        QVERIFY(window->Show());
        window->fields().nextTick = 999;
        window->Text2->setText(QStringLiteral("edited"));
        window->Check1->setChecked(true);
        QTest::mouseClick(window->cmdReSet, Qt::LeftButton);
        QCOMPARE(window->Text2->text(), QStringLiteral("stored.example.org"));
        QCOMPARE(window->Text5->text(), QStringLiteral("3"));
        QVERIFY(window->Check1->isChecked());
        QCOMPARE(window->fields().nextTick, 999);

        // The file edited by another program while the window runs: "Reset" shows it as it
        // is now, and the key it no longer has goes back to its default.
        QFile file(m_state->dirs.settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Settings]\nServer=edited-by-hand.example.org\n");
        file.close();
        QTest::mouseClick(window->cmdReSet, Qt::LeftButton);
        QCOMPARE(window->Text2->text(), QStringLiteral("edited-by-hand.example.org"));
        QCOMPARE(window->Text5->text(), QStringLiteral("5"));
    }

    void escapedErrorBecomesStatus()
    {
        auto window = makeWindow();
        QVERIFY(window->Show());
        auto *app = qobject_cast<MorvexApplication *>(qApp);
        QVERIFY(app);
        app->setStatusSink([&](const QString &text) { window->setStatLbl(text); });
        struct Thrower : QObject {
            bool event(QEvent *) override { throw std::runtime_error("Disk on fire"); }
        } thrower;
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
        QCOMPARE(window->statLbl->text(), QStringLiteral("  ERROR, Disk on fire"));
        app->setStatusSink({});
    }

    // A slow server: the real client waits, the window keeps painting and shows that a check
    // is running, and neither the button nor the timer can start a second one.
    void windowPaintsDuringSlowCheck()
    {
        FakePop3Server server(
            FakePop3Script::mailbox(4).on("STAT", FakePop3Reply::line("+OK 4 100").dripped(150)));
        QVERIFY(server.isListening());
        frmPop::Services services;
        auto tarvik = std::make_unique<Tarvik>();
        tarvik->setPopport(server.port());
        services.control = std::move(tarvik);
        m_ticks = std::make_shared<FakeTicks>(50000);
        services.ticks = m_ticks;
        frmPop window(std::move(services));
        QVERIFY(window.Show());
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Text2->setText(server.host());
        window.Text4->setText(QStringLiteral("pw"));

        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *event) override
            {
                paints += event->type() == QEvent::Paint;
                return false;
            }
        } counter;
        window.statLbl->installEventFilter(&counter);
        QStringList seen;
        bool secondTried = false;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            seen << window.statLbl->text();
            window.statLbl->update();
            if (!secondTried && window.statLbl->text() == QStringLiteral(" Checking Mail...")) {
                secondTried = true;
                QVERIFY(!window.cmdCheck->isEnabled());
                QVERIFY(!window.Tim2->isActive());
                window.cmdCheck_Click(); // what a queued click or tick would do
                window.Tim2_Timer();
            }
        });
        probe.start(100);
        QTest::mouseClick(window.cmdCheck, Qt::LeftButton);
        probe.stop();

        QVERIFY(secondTried);
        QVERIFY2(seen.contains(QStringLiteral(" Checking Mail...")), qPrintable(seen.join(u'|')));
        QVERIFY(counter.paints > 0);
        QCOMPARE(window.statLbl->text(),
                 QStringLiteral("   Mailbox checked (password not encrypted)."));
        QVERIFY(window.newLbl->text().startsWith(QStringLiteral("  4 Mails In InBox")));
        QCOMPARE(server.connectionCount(), 1);
        QVERIFY(window.cmdCheck->isEnabled());
        QVERIFY(window.Tim2->isActive());
    }

    void longPasswordKeptWhole()
    {
        auto window = makeWindow();
        window->Text4->setText(QString(40000, u'x'));
        QCOMPARE(window->Text4->text().size(), 40000);
    }
};

int main(int argc, char **argv)
{
    MorvexApplication app(argc, argv);
    TestPopWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_popwindow.moc"
