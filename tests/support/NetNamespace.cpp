#include "NetNamespace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr char variable[] = "MORVEX_NETNS";
constexpr char prefix[] = "morvex-test-";

int cannot(const QString &why)
{
    const bool required = qgetenv("CI") == "true";
    std::fprintf(stderr, "%s: %s\n", required ? "FAIL (CI=true)" : "SKIP", qPrintable(why));
    return required ? 1 : 77;
}

bool run(const QString &script, const QString &name, QString *errors)
{
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NS"), name);
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    const bool ok = shell.waitForFinished(30000) && shell.exitStatus() == QProcess::NormalExit &&
                    shell.exitCode() == 0;
    if (errors)
        *errors = QString::fromLocal8Bit(shell.readAllStandardError()).trimmed();
    return ok;
}

void remove(const QString &name)
{
    run(QStringLiteral("ip netns del \"$NS\" 2>/dev/null"), name, nullptr);
    QDir(QStringLiteral("/etc/netns/") + name).removeRecursively();
}

// Namespaces left by a run that was killed before it could remove its own.
void removeStale()
{
    const QStringList names =
        QDir(QStringLiteral("/run/netns")).entryList({QLatin1String(prefix) + QLatin1Char('*')});
    for (const QString &name : names) {
        const int pid = name.mid(int(sizeof prefix) - 1).toInt();
        if (pid > 0 && ::kill(pid, 0) != 0)
            remove(name);
    }
}

} // namespace

namespace NetNamespace {

bool inside()
{
    return !qEnvironmentVariableIsEmpty(variable);
}

int runInside(int argc, char **argv, const QString &setup, const QByteArray &hosts)
{
    if (::geteuid() != 0)
        return cannot(QStringLiteral("a network namespace needs root"));
    removeStale();
    const QString name = QLatin1String(prefix) + QString::number(::getpid());
    QString errors;
    if (!run(setup, name, &errors)) {
        remove(name);
        return cannot(QStringLiteral("cannot make a network namespace: ") + errors);
    }
    const QString folder = QStringLiteral("/etc/netns/") + name;
    QFile file(folder + QStringLiteral("/hosts"));
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(hosts) < 0) {
        remove(name);
        return cannot(QStringLiteral("cannot write ") + file.fileName());
    }
    file.close();

    QStringList arguments{QStringLiteral("netns"), QStringLiteral("exec"), name,
                          QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()};
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(variable), name);
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::ForwardedChannels);
    inner.start(QStringLiteral("ip"), arguments);
    const bool finished = inner.waitForFinished(-1);
    const int status =
        finished && inner.exitStatus() == QProcess::NormalExit ? inner.exitCode() : 1;
    remove(name);
    return status;
}

} // namespace NetNamespace
