#include "FakeWindow.h"
#include "ProgramState.h"
#include "TestDirs.h"
#include "settings/FlipChars.h"
#include "settings/SettingsStore.h"
#include "settings/WindowSettings.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <memory>
#include <unistd.h>

using Box = PopWindow::Box;

namespace {
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
