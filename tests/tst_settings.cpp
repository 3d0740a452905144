#include "FakeWindow.h"
#include "ProgramState.h"
#include "TestDirs.h"
#include "settings/FlipChars.h"
#include "settings/SettingsStore.h"
#include "settings/WindowSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <atomic>
#include <memory>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Box = PopWindow::Box;

namespace {

// Watches a folder from a thread of its own while the test saves: every file that appears
// or changes there is looked at the moment the event arrives, and a mode that lets group or
// others in is remembered.
class ModeWatcher {
public:
    explicit ModeWatcher(const QString &dir)
        : m_dir(QFile::encodeName(dir))
        , m_fd(inotify_init1(IN_NONBLOCK))
    {
        inotify_add_watch(m_fd, m_dir.constData(),
                          IN_CREATE | IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
        m_thread = std::thread([this] { run(); });
    }
    ~ModeWatcher()
    {
        stop();
        ::close(m_fd);
    }
    // Stops watching. The first file seen open to others, with its mode; empty when none was.
    QString leak()
    {
        stop();
        return m_leak;
    }

private:
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    void run()
    {
        alignas(inotify_event) char buffer[4096];
        while (!m_stop) {
            pollfd ready{m_fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0)
                continue;
            const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->len > 0)
                    look(m_dir + '/' + event->name);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }
    void look(const QByteArray &path)
    {
        struct stat info {};
        if (::stat(path.constData(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) &&
            m_leak.isEmpty())
            m_leak = QFile::decodeName(path) + u' ' + QString::number(info.st_mode & 0777, 8);
    }

    QByteArray m_dir;
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    QString m_leak;
};

QString chars(std::initializer_list<char16_t> codes)
{
    QString text;
    for (char16_t code : codes)
        text += QChar(code);
    return text;
}
} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<TestDirs> m_dirs;

    static void store(const QList<QPair<QString, QString>> &values)
    {
        ProgramState::storeSettings(values);
    }

private Q_SLOTS:
    void init()
    {
        m_dirs = std::make_unique<TestDirs>();
        // A system-wide file with every key: none of it may show through where the user's
        // file lacks a key, so every row below also checks that it is ignored.
        QDir().mkpath(m_dirs->systemConfigDir());
        QFile system(m_dirs->systemConfigDir() + QStringLiteral("/MoRvEx.conf"));
        QVERIFY(system.open(QIODevice::WriteOnly));
        system.write("[Settings]\nServer=system.example.org\nUser=system\nPass=x\n"
                     "Interval=77\nAtStart=Min\n");
    }
    void cleanup() { m_dirs.reset(); }

    void loading_data()
    {
        using Values = QList<QPair<QString, QString>>;
        QTest::addColumn<Values>("stored");
        QTest::addColumn<QStringList>("boxes"); // server, login, password, interval
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<int>("shows");
        QTest::newRow("first run")
            << Values{} << QStringList{"Server", "Login", "", "5"} << false << 1;
        QTest::newRow("blank replacements")
            << Values{{"Server", ""}, {"User", "  "}, {"Pass", ""}, {"Interval", " "}}
            << QStringList{"Server", "User", "", "10"} << false << 1;
        QTest::newRow("tab is not blank")
            << Values{{"Server", "\t"}} << QStringList{"\t", "Login", "", "5"} << false << 1;
        QTest::newRow("stored values")
            << Values{{"Server", "pop.example.org"},
                      {"User", "ann"},
                      {"Pass", flipChars("pw")},
                      {"Interval", " 7 "},
                      {"AtStart", "Max"}}
            << QStringList{"pop.example.org", "ann", "pw", " 7 "} << false << 1;
        QTest::newRow("Min") << Values{{"AtStart", "Min"}}
                             << QStringList{"Server", "Login", "", "5"} << true << 0;
        QTest::newRow("min is not Min")
            << Values{{"AtStart", "min"}} << QStringList{"Server", "Login", "", "5"} << false << 1;
        QTest::newRow("list-like text")
            << Values{{"Server", "a, b"}} << QStringList{"a, b", "Login", "", "5"} << false << 1;
    }
    void loading()
    {
        using Values = QList<QPair<QString, QString>>;
        QFETCH(Values, stored);
        QFETCH(QStringList, boxes);
        QFETCH(bool, ticked);
        QFETCH(int, shows);
        store(stored);
        FakeWindow window;
        SettingsStore settings;
        QVERIFY(getDefault(window, settings));
        QCOMPARE((QStringList{window.texts[1], window.texts[2], window.texts[3], window.texts[4]}),
                 boxes);
        QCOMPARE(window.ticked, ticked);
        QCOMPARE(window.shows, shows);
    }

    void resetKeepsTickedBox()
    {
        store({{"AtStart", "Max"}});
        FakeWindow window;
        window.ticked = true;
        SettingsStore settings;
        getDefault(window, settings);
        QVERIFY(window.ticked);
    }

    void saveThenLoad()
    {
        FakeWindow window;
        window.texts = {"Timer", "  pop.example.org  ", " ann ", " pw ", " 2.5 "};
        window.ticked = true;
        {
            SettingsStore settings;
            saveSettings(window, settings);
            QVERIFY(settings.commit());
        }
        QSettings raw(m_dirs->settingsFile(), QSettings::IniFormat);
        raw.beginGroup("Settings");
        QCOMPARE(raw.value("Server").toString(), QStringLiteral("pop.example.org"));
        QCOMPARE(raw.value("User").toString(), QStringLiteral("ann"));
        QCOMPARE(raw.value("Pass").toString(), flipChars("pw"));
        QCOMPARE(raw.value("Interval").toString(), QStringLiteral(" 2.5 "));
        QCOMPARE(raw.value("AtStart").toString(), QStringLiteral("Min"));
        const auto others =
            QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        QCOMPARE(QFile::permissions(m_dirs->settingsFile()) & others, QFile::Permissions());
        QVERIFY(QFile::permissions(m_dirs->settingsFile()) & QFile::ReadOwner);

        FakeWindow loaded;
        SettingsStore settings;
        getDefault(loaded, settings);
        QCOMPARE(loaded.texts[3], QStringLiteral("pw"));
        QVERIFY(loaded.ticked);
    }

    // A file others could read (made by an older version, restored from a backup) is made
    // private before the new password is written: the temporary file the save writes
    // first takes the old file's mode.
    void saveOverReadableFile_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("0644") << 0644;
        QTest::newRow("0666") << 0666;
        QTest::newRow("no folder yet") << 0;
    }
    void saveOverReadableFile()
    {
        QFETCH(int, mode);
        if (mode != 0) {
            QVERIFY(QDir().mkpath(m_dirs->configDir()));
            QFile old(m_dirs->settingsFile());
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("[Settings]\nPass=old\n");
            old.close();
            QCOMPARE(::chmod(QFile::encodeName(old.fileName()).constData(), mode_t(mode)), 0);
        }
        FakeWindow window;
        // A long value keeps the save busy for a while, so a moment of the wrong mode is
        // long enough to be seen.
        window.texts[2] = QString(4 << 20, QChar(u'x'));
        window.texts[3] = QStringLiteral("new password");
        for (int round = 0; round < 5; ++round) {
            if (mode != 0)
                ::chmod(QFile::encodeName(m_dirs->settingsFile()).constData(), mode_t(mode));
            SettingsStore settings;
            saveSettings(window, settings);
            bool saved = false;
            {
                // Without a folder, its parent: the folder itself must not appear open.
                ModeWatcher watcher(mode != 0 ? m_dirs->configDir()
                                              : QFileInfo(m_dirs->configDir()).path());
                saved = settings.commit();
                QCOMPARE(watcher.leak(), QString());
            }
            QVERIFY(saved);
        }
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(m_dirs->configDir()).constData(), &info), 0);
        if (mode == 0)
            QCOMPARE(info.st_mode & 0777, mode_t(0700));
    }

    void passwordRoundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("abc") << "abc";
        QTest::newRow("codes 0, 158, 255") << chars({0, 158, 255, u'x'});
        QString every;
        for (int c = 1; c < 256; ++c)
            every += QChar(char16_t(c == 32 ? 33 : c)); // blanks at the ends would be trimmed
        QTest::newRow("every Latin-1 character") << every;
        QTest::newRow("beyond Latin-1") << QString::fromUtf8("pässwörd€漢字");
        QTest::newRow("40000 characters") << QString(40000, QChar(u'q'));
    }
    void passwordRoundTrip()
    {
        QFETCH(QString, password);
        FakeWindow window;
        window.texts[3] = password;
        {
            SettingsStore settings;
            saveSettings(window, settings);
            QVERIFY(settings.commit());
        }
        FakeWindow loaded;
        SettingsStore settings;
        getDefault(loaded, settings);
        QCOMPARE(loaded.texts[3], password);
    }

    void flipCharsTransform_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("flipped");
        QTest::newRow("abc") << "abc" << chars({158, 157, 156});
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("0 and 255") << chars({0, 255}) << chars({255, 0});
        QTest::newRow("euro stays") << QString::fromUtf8("€") << QString::fromUtf8("€");
    }
    void flipCharsTransform()
    {
        QFETCH(QString, text);
        QFETCH(QString, flipped);
        QCOMPARE(flipChars(text), flipped);
        QCOMPARE(flipChars(flipped), text);
    }

    void saveToUnwritableFileFails()
    {
        if (geteuid() == 0)
            QSKIP("root writes through file permissions");
        QDir().mkpath(m_dirs->configDir());
        QFile(m_dirs->settingsFile()).open(QIODevice::WriteOnly);
        QFile::setPermissions(m_dirs->settingsFile(), QFile::ReadOwner);
        FakeWindow window;
        SettingsStore settings;
        saveSettings(window, settings);
        QVERIFY(!settings.commit());
    }

    void saveIntoMissingDirectoryFails()
    {
        // The configuration directory cannot be created (a file stands in its place).
        QFile blocker(m_dirs->configDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        FakeWindow window;
        SettingsStore settings;
        saveSettings(window, settings);
        QVERIFY(!settings.commit());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
