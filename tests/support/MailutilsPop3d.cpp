#include "MailutilsPop3d.h"

#include "Loopback.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char pop3dPath[] = "/usr/sbin/pop3d";
constexpr uid_t mailUid = 5000;
constexpr gid_t mailGid = 5000;
// The account's password "secret", as `openssl passwd -6 -salt morvexsalt secret` gives it.
const char passwordHash[] = "$6$morvexsalt$TuQNM2BekQ5STZnukuOnlSoeyc5941wcgXq/BFGSca159n8fz7FtO"
                            "pIfYGWP2GHo9.BiMWcpbpLx8tZQvBM1o.";
constexpr int startMs = 10000;
constexpr int stopMs = 5000;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool ownedByMailUser(const QString &path)
{
    return ::chown(QFile::encodeName(path).constData(), mailUid, mailGid) == 0;
}

} // namespace

MailutilsPop3d::~MailutilsPop3d()
{
    stop();
}

QString MailutilsPop3d::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("pop3d tests need root (the server switches to its mail user)");
    if (!QFileInfo(QString::fromLatin1(pop3dPath)).isExecutable())
        return QStringLiteral("GNU pop3d is not installed (mailutils-pop3d)");
    return QString();
}

// DIR/domains/morvex.test (passwd format: the account's home holds INBOX) and
// DIR/mail/testuser/INBOX, a Maildir with the messages in new/.
bool MailutilsPop3d::writeAccount(int messages)
{
    const QString dir = m_dir.path();
    const QString home = dir + QStringLiteral("/mail/testuser");
    const QString inbox = home + QStringLiteral("/INBOX");
    // The session runs as the mail user, who must reach the home folder.
    ::chmod(QFile::encodeName(dir).constData(), 0755);
    if (!QDir().mkpath(dir + QStringLiteral("/domains")) ||
        !QDir().mkpath(inbox + QStringLiteral("/new")) ||
        !QDir().mkpath(inbox + QStringLiteral("/cur")) ||
        !QDir().mkpath(inbox + QStringLiteral("/tmp"))) {
        m_error = QStringLiteral("cannot make the mail folders in %1").arg(dir);
        return false;
    }
    ::chmod(QFile::encodeName(dir + QStringLiteral("/mail")).constData(), 0755);
    for (int i = 1; i <= messages; ++i) {
        const QString name = inbox + QStringLiteral("/new/%1.morvex-pop3d").arg(i);
        const QByteArray message = "From: Sender <sender@example.org>\nTo: testuser@morvex.test\n"
                                   "Subject: pop3d message " +
                                   QByteArray::number(i) + "\n\nMessage " + QByteArray::number(i) +
                                   ".\n";
        if (!writeFile(name, message) || !ownedByMailUser(name)) {
            m_error = QStringLiteral("cannot write %1").arg(name);
            return false;
        }
    }
    for (const QString &path : {home, inbox, inbox + QStringLiteral("/new"),
                                inbox + QStringLiteral("/cur"), inbox + QStringLiteral("/tmp")}) {
        if (!ownedByMailUser(path)) {
            m_error = QStringLiteral("cannot hand %1 to the mail user").arg(path);
            return false;
        }
    }
    const QByteArray passwd = "testuser:" + QByteArray(passwordHash) + ':' +
                              QByteArray::number(mailUid) + ':' + QByteArray::number(mailGid) +
                              "::" + QFile::encodeName(home) + ":/bin/false\n";
    if (!writeFile(dir + QStringLiteral("/domains/morvex.test"), passwd)) {
        m_error = QStringLiteral("cannot write the domain's passwd file");
        return false;
    }
    return true;
}

bool MailutilsPop3d::writeConfig()
{
    const QString dir = m_dir.path();
    const QByteArray conf = "logging { syslog no; };\n"
                            "foreground yes;\n"
                            "mode daemon;\n"
                            // Locks would go to /var/lock/subsys/mail.
                            "mandatory-locking { enable no; };\n"
                            "auth { authentication generic; authorization virtdomain; };\n"
                            "virtdomain { passwd-dir \"" +
                            QFile::encodeName(dir) +
                            "/domains\"; };\n"
                            "server 127.0.0.1:" +
                            QByteArray::number(m_port) +
                            " {\n"
                            "  tls-mode no;\n"
                            "  transcript yes;\n"
                            "};\n";
    if (!writeFile(dir + QStringLiteral("/pop3d.conf"), conf)) {
        m_error = QStringLiteral("cannot write pop3d.conf");
        return false;
    }
    return true;
}

// Runs pop3d and waits until it takes connections; false when it exits first (its port was
// taken after all) or does not answer in time.
bool MailutilsPop3d::launch()
{
    m_process.setProgram(QString::fromLatin1(pop3dPath));
    m_process.setArguments(
        {QStringLiteral("--config-file=") + m_dir.filePath(QStringLiteral("pop3d.conf")),
         QStringLiteral("--foreground")});
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("pop3d.log")), QIODevice::Append);
    m_process.start();
    if (!m_process.waitForStarted(startMs)) {
        m_error = QStringLiteral("cannot run pop3d: %1").arg(m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(startMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("pop3d exited at once: %1").arg(log().right(500));
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QThread::msleep(50);
    }
    m_error = QStringLiteral("pop3d does not take connections on 127.0.0.1:%1").arg(m_port);
    stop();
    return false;
}

bool MailutilsPop3d::start(int messages)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    if (!writeAccount(messages))
        return false;
    // A port found free may be taken before pop3d binds it; then try another one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = Loopback::unusedPort();
        if (m_port == 0) {
            m_error = QStringLiteral("no free loopback port");
            return false;
        }
        if (!writeConfig())
            return false;
        if (launch())
            return true;
        stop();
    }
    m_port = 0;
    return false;
}

void MailutilsPop3d::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(stopMs)) {
            m_process.kill();
            m_process.waitForFinished(stopMs);
        }
    }
    m_port = 0;
}

QString MailutilsPop3d::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("pop3d.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}
