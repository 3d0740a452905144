#include "ui/Pictures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <unistd.h>

// What "cmake --install" and the Debian package put on a machine: the program, a menu entry
// and an autostart entry that desktop tools accept, AppStream metadata that validates
// against them, and theme icons that are the program's own icon at every size.
class TestInstall : public QObject {
    Q_OBJECT

    struct Result {
        bool ran = false;
        int exitCode = -1;
        QString output;
    };

    QTemporaryDir m_dest;
    QString m_root; // the install prefix inside the destination directory
    QTemporaryDir m_packageDir;
    QString m_package;

    static Result run(const QString &program, const QStringList &arguments,
                      const QMap<QString, QString> &env = {}, int timeoutMs = 60000)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = env.begin(); it != env.end(); ++it)
            environment.insert(it.key(), it.value());
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        Result result;
        if (!process.waitForStarted(10000)) {
            result.output = program + QStringLiteral(": ") + process.errorString();
            return result;
        }
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            result.output = program + QStringLiteral(": timed out");
            return result;
        }
        result.ran = process.exitStatus() == QProcess::NormalExit;
        result.exitCode = process.exitCode();
        result.output = QString::fromLocal8Bit(process.readAll());
        return result;
    }

    static QString tool(const QString &name, const char *package)
    {
        const QString path = QStandardPaths::findExecutable(name);
        if (path.isEmpty())
            qWarning("%s is missing (Debian: apt-get install %s)", qPrintable(name), package);
        return path;
    }

    // The [Desktop Entry] group of a desktop file as key -> value.
    static QMap<QString, QString> desktopEntry(const QString &path)
    {
        QMap<QString, QString> keys;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return keys;
        bool inEntry = false;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(u'['))
                inEntry = line == u"[Desktop Entry]";
            else if (inEntry && line.contains(u'='))
                keys.insert(line.section(u'=', 0, 0).trimmed(), line.section(u'=', 1).trimmed());
        }
        return keys;
    }

    QString iconPath(const QString &size, const QString &extension) const
    {
        return m_root +
               QStringLiteral("/share/icons/hicolor/%1/apps/morvex.%2").arg(size, extension);
    }

    // Mean difference per channel (0..255) of two images of one size, premultiplied, so
    // colours under full transparency do not count.
    static double meanDifference(const QImage &a, const QImage &b)
    {
        const QImage x = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage y = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        double sum = 0;
        for (int row = 0; row < x.height(); ++row) {
            const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
            const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
            for (int col = 0; col < x.width(); ++col)
                sum += std::abs(qRed(p[col]) - qRed(q[col])) +
                       std::abs(qGreen(p[col]) - qGreen(q[col])) +
                       std::abs(qBlue(p[col]) - qBlue(q[col])) +
                       std::abs(qAlpha(p[col]) - qAlpha(q[col]));
        }
        return sum / (4.0 * x.width() * x.height());
    }

    // Builds the .deb with CPack into a temporary directory kept for the test's lifetime.
    QString buildPackage()
    {
        if (!m_package.isEmpty())
            return m_package;
        const QString out = m_packageDir.path();
        const Result cpack = run(QStringLiteral(MORVEX_CPACK),
                                 {"-G", "DEB", "-B", out, "--config",
                                  QStringLiteral(MORVEX_BUILD_DIR "/CPackConfig.cmake")},
                                 {}, 300000);
        if (!cpack.ran || cpack.exitCode != 0) {
            qWarning("cpack failed: %s", qPrintable(cpack.output));
            return {};
        }
        const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files);
        if (debs.size() != 1) {
            qWarning("cpack made %lld packages: %s", qint64(debs.size()), qPrintable(cpack.output));
            return {};
        }
        m_package = out + u'/' + debs.first();
        return m_package;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dest.isValid());
        const Result install =
            run(QStringLiteral(MORVEX_CMAKE),
                {"--install", QStringLiteral(MORVEX_BUILD_DIR), "--prefix", "/usr"},
                {{"DESTDIR", m_dest.path()}});
        QVERIFY2(install.ran && install.exitCode == 0, qPrintable(install.output));
        m_root = m_dest.path() + QStringLiteral("/usr");
        QVERIFY(QFileInfo(m_root + QStringLiteral("/bin/morvex")).isExecutable());
    }

    void desktopEntryIsValid_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("menu entry")
            << QStringLiteral("share/applications/org.example.morvex.desktop");
        QTest::newRow("autostart entry") << QStringLiteral("share/morvex/morvex-autostart.desktop");
    }

    void desktopEntryIsValid()
    {
        QFETCH(QString, file);
        const QString path = m_root + u'/' + file;
        QVERIFY2(QFile::exists(path), qPrintable(path));
        const QString validate =
            tool(QStringLiteral("desktop-file-validate"), "desktop-file-utils");
        QVERIFY(!validate.isEmpty());
        const Result result = run(validate, {path});
        QVERIFY2(result.ran && result.exitCode == 0, qPrintable(result.output));
        QVERIFY2(!result.output.contains(QStringLiteral("error"), Qt::CaseInsensitive),
                 qPrintable(result.output));

        // It starts the installed program and shows the installed icon.
        const auto keys = desktopEntry(path);
        const QString program = keys.value(QStringLiteral("Exec")).section(u' ', 0, 0);
        QVERIFY2(!program.isEmpty() && !program.contains(u'/'), qPrintable(program));
        QVERIFY2(QFileInfo(m_root + QStringLiteral("/bin/") + program).isExecutable(),
                 qPrintable(program));
        const QString icon = keys.value(QStringLiteral("Icon"));
        QVERIFY2(QFile::exists(m_root + QStringLiteral("/share/icons/hicolor/scalable/apps/") +
                               icon + QStringLiteral(".svg")),
                 qPrintable(icon));
    }

    void metainfoIsValid()
    {
        const QString path =
            m_root + QStringLiteral("/share/metainfo/org.example.morvex.metainfo.xml");
        QVERIFY2(QFile::exists(path), qPrintable(path));
        const QString appstream = tool(QStringLiteral("appstreamcli"), "appstream");
        QVERIFY(!appstream.isEmpty());
        const Result file = run(appstream, {"validate", "--no-net", "--pedantic", path});
        QVERIFY2(file.ran && file.exitCode == 0, qPrintable(file.output));
        // The whole tree: the launchable names the installed menu entry.
        const Result tree = run(appstream, {"validate-tree", "--no-net", m_dest.path()});
        QVERIFY2(tree.ran && tree.exitCode == 0, qPrintable(tree.output));
    }

    void themeIconIsTheProgramsIcon_data()
    {
        QTest::addColumn<int>("size");
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
            QTest::addRow("%dx%d", size, size) << size;
    }

    void themeIconIsTheProgramsIcon()
    {
        QFETCH(int, size);
        const QString path = iconPath(QStringLiteral("%1x%1").arg(size), QStringLiteral("png"));
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.size(), QSize(size, size));
        const QImage installed = reader.read();
        QVERIFY2(!installed.isNull(), qPrintable(reader.errorString()));
        const QImage drawn = iconPixmap(size).toImage();
        QCOMPARE(installed.convertToFormat(QImage::Format_ARGB32),
                 drawn.convertToFormat(QImage::Format_ARGB32));
    }

    void scalableIconLooksLikeTheDrawnOne()
    {
        const QString svg = iconPath(QStringLiteral("scalable"), QStringLiteral("svg"));
        QFile file(svg);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(svg));
        QXmlStreamReader xml(&file);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name(), QStringLiteral("svg"));
        while (!xml.atEnd())
            xml.readNext();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));

        // Rendered as a desktop renders it, the SVG is the 256-pixel icon.
        const QString rsvg = tool(QStringLiteral("rsvg-convert"), "librsvg2-bin");
        QVERIFY(!rsvg.isEmpty());
        QTemporaryDir out;
        const QString png = out.path() + QStringLiteral("/svg.png");
        const Result render = run(rsvg, {"-w", "256", "-h", "256", "-o", png, svg});
        QVERIFY2(render.ran && render.exitCode == 0, qPrintable(render.output));
        const QImage rendered(png);
        QCOMPARE(rendered.size(), QSize(256, 256));
        const QImage drawn(iconPath(QStringLiteral("256x256"), QStringLiteral("png")));
        const double difference = meanDifference(rendered, drawn);
        QVERIFY2(difference < 1.0,
                 qPrintable(QStringLiteral("mean difference %1").arg(difference)));
    }

    void autostartScript_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("exec");
        QTest::newRow("program named") << QStringLiteral("named") << true << QStringLiteral("abs");
        QTest::newRow("program on PATH")
            << QStringLiteral("path") << true << QStringLiteral("morvex");
        QTest::newRow("program not on PATH") << QStringLiteral("nopath") << false << QString();
        QTest::newRow("blank in the program's path")
            << QStringLiteral("blank") << false << QString();
    }

    void autostartScript()
    {
        QFETCH(QString, how);
        QFETCH(bool, accepted);
        QFETCH(QString, exec);
        const QString script = m_root + QStringLiteral("/share/morvex/autostart");
        QVERIFY(QFileInfo(script).isExecutable());
        QTemporaryDir home;
        const QString entry =
            home.path() + QStringLiteral("/config/autostart/morvex-autostart.desktop");
        const QString program = m_root + QStringLiteral("/bin/morvex");
        QMap<QString, QString> env{{"XDG_CONFIG_HOME", home.path() + QStringLiteral("/config")},
                                   {"HOME", home.path()}};
        QStringList arguments{QStringLiteral("install")};
        if (how == u"named") {
            arguments << QStringLiteral("--exec") << program;
            exec = program;
        } else if (how == u"path") {
            env.insert(QStringLiteral("PATH"), m_root + QStringLiteral("/bin:/usr/bin:/bin"));
        } else if (how == u"nopath") {
            if (!QStandardPaths::findExecutable(QStringLiteral("morvex"), {"/usr/bin", "/bin"})
                     .isEmpty())
                QSKIP("a morvex is installed on this machine's PATH");
            env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        } else {
            const QString odd = home.path() + QStringLiteral("/my programs");
            QVERIFY(QDir().mkpath(odd));
            QVERIFY(QFile::copy(program, odd + QStringLiteral("/morvex")));
            QFile::setPermissions(odd + QStringLiteral("/morvex"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            arguments << QStringLiteral("--exec") << odd + QStringLiteral("/morvex");
        }

        const Result install = run(script, arguments, env);
        QVERIFY(install.ran);
        if (!accepted) {
            QVERIFY2(install.exitCode != 0, qPrintable(install.output));
            QVERIFY(!QFile::exists(entry));
            QVERIFY(QDir(home.path() + QStringLiteral("/config/autostart"))
                        .entryList(QDir::Files | QDir::Hidden)
                        .isEmpty());
            return;
        }
        QVERIFY2(install.exitCode == 0, qPrintable(install.output));
        QVERIFY2(QFile::exists(entry), qPrintable(install.output));
        QCOMPARE(desktopEntry(entry).value(QStringLiteral("Exec")), exec);
        const Result validate =
            run(tool(QStringLiteral("desktop-file-validate"), "desktop-file-utils"), {entry});
        QVERIFY2(validate.ran && validate.exitCode == 0, qPrintable(validate.output));
        QVERIFY(run(script, {"status"}, env).output.contains(QStringLiteral(": on")));

        const Result remove = run(script, {"remove"}, env);
        QVERIFY2(remove.ran && remove.exitCode == 0, qPrintable(remove.output));
        QVERIFY(!QFile::exists(entry));
        QVERIFY(run(script, {"status"}, env).output.contains(QStringLiteral(": off")));
    }

    void debianPackage()
    {
        const QString deb = buildPackage();
        QVERIFY(!deb.isEmpty());
        const QString dpkgDeb = tool(QStringLiteral("dpkg-deb"), "dpkg");
        const Result fields = run(dpkgDeb, {"--field", deb, "Package", "Version", "Depends"});
        QVERIFY2(fields.ran && fields.exitCode == 0, qPrintable(fields.output));
        QVERIFY2(fields.output.contains(QStringLiteral("Package: morvex\n")),
                 qPrintable(fields.output));
        // The shared libraries as dpkg-shlibdeps found them, and what is loaded at run time.
        const QString depends = fields.output.section(QStringLiteral("Depends:"), 1).trimmed();
        QStringList packages;
        for (const QString &item : depends.split(u','))
            packages << item.trimmed().section(u' ', 0, 0);
        for (const char *needed :
             {"libqt6widgets6", "libqt6network6", "libqt6core6", "libc6", "libqt6keychain1",
              "libsecret-1-0", "fonts-liberation2", "qt6-qpa-plugins"})
            QVERIFY2(packages.contains(QString::fromLatin1(needed)),
                     qPrintable(needed + QStringLiteral(" missing from: ") + depends));

        // The package holds what "cmake --install" installs, under /usr.
        const Result contents = run(dpkgDeb, {"--contents", deb});
        QVERIFY2(contents.ran && contents.exitCode == 0, qPrintable(contents.output));
        QStringList packaged;
        for (const QString &line : contents.output.split(u'\n')) {
            if (line.startsWith(u'-'))
                packaged << line.section(QStringLiteral(" ./"), 1).trimmed();
        }
        QStringList installed;
        QDirIterator it(m_dest.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            installed << it.next().mid(m_dest.path().size() + 1);
        packaged.sort();
        installed.sort();
        QCOMPARE(packaged, installed);
        for (const char *file :
             {"usr/share/doc/morvex/copyright", "usr/share/doc/morvex/changelog.Debian.gz",
              "usr/share/man/man1/morvex.1.gz"})
            QVERIFY2(packaged.contains(QString::fromLatin1(file)),
                     qPrintable(packaged.join(u'\n')));

        // Debian's package checker finds nothing to warn about.
        const QString lintian = tool(QStringLiteral("lintian"), "lintian");
        if (lintian.isEmpty())
            QSKIP("lintian is not installed");
        const Result check = run(lintian, {"--fail-on", "error,warning", deb}, {}, 300000);
        QVERIFY2(check.ran && check.exitCode == 0, qPrintable(check.output));
        QVERIFY2(!check.output.contains(QStringLiteral("\nE: ")) &&
                     !check.output.contains(QStringLiteral("\nW: ")) &&
                     !check.output.startsWith(QStringLiteral("E: ")) &&
                     !check.output.startsWith(QStringLiteral("W: ")),
                 qPrintable(check.output));
    }

    void debianPackageInstallsAndRemoves()
    {
        // This changes the machine: only where asked to (CI runs on a throwaway machine).
        if (qEnvironmentVariable("CI") != u"true" &&
            qEnvironmentVariable("MORVEX_TEST_DPKG") != u"1")
            QSKIP("installs into the system: runs with CI=true or MORVEX_TEST_DPKG=1");
        if (::geteuid() != 0)
            QSKIP("dpkg -i needs root");
        const QString dpkg = tool(QStringLiteral("dpkg"), "dpkg");
        if (run(QStringLiteral("dpkg-query"), {"-W", "-f=${Status}", "morvex"})
                .output.contains(QStringLiteral("installed")))
            QSKIP("a morvex package is installed already; it is left alone");
        const QString deb = buildPackage();
        QVERIFY(!deb.isEmpty());
        const Result listing = run(QStringLiteral("dpkg-deb"), {"--contents", deb});
        QStringList files;
        for (const QString &line : listing.output.split(u'\n')) {
            if (line.startsWith(u'-'))
                files << u'/' + line.section(QStringLiteral(" ./"), 1).trimmed();
        }
        QVERIFY(files.contains(QStringLiteral("/usr/bin/morvex")));

        const Result install =
            run(dpkg, {"-i", deb}, {{"DEBIAN_FRONTEND", "noninteractive"}}, 300000);
        QVERIFY2(install.ran && install.exitCode == 0, qPrintable(install.output));
        const Result status = run(QStringLiteral("dpkg-query"), {"-W", "-f=${Status}", "morvex"});
        const bool wasInstalled = status.output == u"install ok installed";
        QStringList missing;
        for (const QString &file : files) {
            if (!QFile::exists(file))
                missing << file;
        }
        const Result libraries = run(QStringLiteral("ldd"), {QStringLiteral("/usr/bin/morvex")});

        const Result remove =
            run(dpkg, {"-r", "morvex"}, {{"DEBIAN_FRONTEND", "noninteractive"}}, 300000);
        QVERIFY2(wasInstalled, qPrintable(status.output));
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
        QVERIFY2(libraries.exitCode == 0 && !libraries.output.contains(QStringLiteral("not found")),
                 qPrintable(libraries.output));
        QVERIFY2(remove.ran && remove.exitCode == 0, qPrintable(remove.output));
        QStringList left;
        for (const QString &file : files) {
            if (QFile::exists(file))
                left << file;
        }
        QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
        QVERIFY(!run(QStringLiteral("dpkg-query"), {"-W", "-f=${Status}", "morvex"})
                     .output.contains(QStringLiteral("ok installed")));
    }
};

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
