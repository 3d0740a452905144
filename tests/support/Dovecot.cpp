#include "Dovecot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <unistd.h>

namespace {

// Starting waits for the port and stopping waits for the master to exit (about 2.5 s, at
// most 15 s before the script gives up); nothing the script does takes longer than this.
constexpr int scriptTimeoutMs = 60000;

QString findDovecot()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("dovecot"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(QStringLiteral("dovecot"),
                                              {QStringLiteral("/usr/sbin"),
                                               QStringLiteral("/usr/local/sbin"),
                                               QStringLiteral("/sbin")});
    return path;
}

} // namespace

Dovecot::Dovecot() = default;

Dovecot::~Dovecot()
{
    stop();
}

QString Dovecot::scriptPath()
{
    return QStringLiteral(MORVEX_SOURCE_DIR "/scripts/dovecot-sandbox");
}

bool Dovecot::required()
{
    return qEnvironmentVariable("CI") == u"true";
}

QString Dovecot::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("Dovecot tests need root (the server switches to its mail user)");
    const QString dovecot = findDovecot();
    if (dovecot.isEmpty())
        return QStringLiteral("dovecot is not installed (dovecot-core, dovecot-pop3d)");
    const QString pop3 = QFileInfo(dovecot).absolutePath() + QStringLiteral("/../lib/dovecot/pop3");
    if (!QFileInfo(pop3).isExecutable() &&
        !QFileInfo(QStringLiteral("/usr/lib/dovecot/pop3")).isExecutable())
        return QStringLiteral("Dovecot's POP3 service is not installed (dovecot-pop3d)");
    if (QStandardPaths::findExecutable(QStringLiteral("bash")).isEmpty())
        return QStringLiteral("bash is not installed");
    if (!QFileInfo::exists(scriptPath()))
        return QStringLiteral("%1 is missing").arg(scriptPath());
    return QString();
}

bool Dovecot::run(const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.setProgram(QStandardPaths::findExecutable(QStringLiteral("bash")));
    process.setArguments(QStringList{scriptPath()} + arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SANDBOX_SSL"), m_tls == Tls::Off ? QStringLiteral("no")
                                                      : m_tls == Tls::Offered
                                                          ? QStringLiteral("yes")
                                                          : QStringLiteral("required"));
    environment.insert(QStringLiteral("SANDBOX_SSL_CERT"), m_certificateFile);
    environment.insert(QStringLiteral("SANDBOX_SSL_KEY"), m_keyFile);
    environment.remove(QStringLiteral("SANDBOX_POP3S_PORT"));
    if (m_mechanisms.isEmpty())
        environment.remove(QStringLiteral("SANDBOX_AUTH_MECHANISMS"));
    else
        environment.insert(QStringLiteral("SANDBOX_AUTH_MECHANISMS"), m_mechanisms);
    process.setProcessEnvironment(environment);
    process.start();
    if (!process.waitForStarted(scriptTimeoutMs)) {
        m_error = QStringLiteral("cannot run %1: %2").arg(scriptPath(), process.errorString());
        return false;
    }
    if (!process.waitForFinished(scriptTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        m_error = QStringLiteral("dovecot-sandbox %1 did not finish in %2 s")
                      .arg(arguments.join(u' '))
                      .arg(scriptTimeoutMs / 1000);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("dovecot-sandbox %1 failed (exit %2): %3")
                      .arg(arguments.join(u' '))
                      .arg(process.exitCode())
                      .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

void Dovecot::setTls(Tls mode, const QString &certificateFile, const QString &keyFile)
{
    m_tls = mode;
    m_certificateFile = certificateFile;
    m_keyFile = keyFile;
}

bool Dovecot::start(int messages)
{
    if (isRunning()) {
        m_error = QStringLiteral("already running");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    QByteArray output;
    if (!run({QStringLiteral("start"), m_dir.path()}, &output))
        return false;
    // The port, and the pop3s port on a second line with TLS.
    const QList<QByteArray> lines = output.trimmed().split('\n');
    bool ok = false;
    const uint port = lines.value(0).trimmed().toUInt(&ok);
    bool pop3sOk = m_tls == Tls::Off;
    const uint pop3sPort = m_tls == Tls::Off ? 0 : lines.value(1).trimmed().toUInt(&pop3sOk);
    if (!ok || port == 0 || port > 65535 || !pop3sOk || pop3sPort > 65535) {
        m_error = QStringLiteral("dovecot-sandbox start printed no port: %1")
                      .arg(QString::fromLocal8Bit(output));
        run({QStringLiteral("stop"), m_dir.path()});
        return false;
    }
    m_port = quint16(port);
    m_pop3sPort = quint16(pop3sPort);
    if (messages > 0 && !addMessages(messages)) {
        const QString why = m_error;
        stop();
        m_error = why;
        return false;
    }
    return true;
}

void Dovecot::stop()
{
    if (!m_dir.isValid() || !QFileInfo::exists(m_dir.filePath(QStringLiteral("dovecot.conf"))))
        return;
    run({QStringLiteral("stop"), m_dir.path()});
    m_port = 0;
    m_pop3sPort = 0;
}

bool Dovecot::addMessages(int count)
{
    return run({QStringLiteral("add"), m_dir.path(), QString::number(count)});
}

bool Dovecot::removeMessages(int count)
{
    return run({QStringLiteral("remove"), m_dir.path(), QString::number(count)});
}

int Dovecot::messageCount()
{
    QByteArray output;
    if (!run({QStringLiteral("count"), m_dir.path()}, &output))
        return -1;
    bool ok = false;
    const int count = output.trimmed().toInt(&ok);
    return ok ? count : -1;
}

QString Dovecot::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("dovecot.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}
