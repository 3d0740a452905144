#include "PrivateNetwork.h"

#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace {

QString failure;

// Runs `ip` with these arguments; empty when it succeeded, else what it said.
QString ip(const QStringList &arguments)
{
    const QString tool = QStandardPaths::findExecutable(
        QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                               QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (tool.isEmpty())
        return QStringLiteral("ip is not installed (iproute2)");
    QProcess run;
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(tool, arguments);
    if (!run.waitForFinished(10000) || run.exitStatus() != QProcess::NormalExit ||
        run.exitCode() != 0)
        return QStringLiteral("ip %1: %2")
            .arg(arguments.join(u' '), QString::fromLocal8Bit(run.readAll()).trimmed());
    return QString();
}

} // namespace

QString PrivateNetwork::enter()
{
    if (::geteuid() != 0)
        failure = QStringLiteral("a network namespace of its own needs root");
    else if (::unshare(CLONE_NEWNET) != 0)
        failure = QStringLiteral("unshare(CLONE_NEWNET): %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
    return failure;
}

QString PrivateNetwork::setUp()
{
    if (!failure.isEmpty())
        return failure;
    const QList<QStringList> steps = {
        {"link", "set", "lo", "up"},
        {"addr", "add", serverAddress() + "/32", "dev", "lo"},
        {"link", "add", "mv0", "type", "veth", "peer", "name", "mv1"},
        {"addr", "add", "10.77.1.1/24", "dev", "mv0"},
        {"link", "set", "mv0", "up"},
        {"link", "set", "mv1", "up"},
    };
    for (const QStringList &step : steps) {
        failure = ip(step);
        if (!failure.isEmpty())
            return failure;
    }
    return setDefaultRoute(true) ? QString() : failure;
}

QString PrivateNetwork::serverAddress()
{
    return QStringLiteral("10.77.0.1");
}

bool PrivateNetwork::setDefaultRoute(bool present)
{
    failure = present ? ip({"route", "replace", "default", "via", "10.77.1.2", "dev", "mv0"})
                      : ip({"-4", "route", "flush", "exact", "0/0"});
    return failure.isEmpty();
}

bool PrivateNetwork::setCarrier(bool present)
{
    failure = ip({"link", "set", "mv1", present ? "up" : "down"});
    return failure.isEmpty();
}
