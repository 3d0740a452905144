#include "SystemBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");

// Anyone may own any name and send anything; nothing is started on demand.
const char *const config = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// A test that crashes leaves no bus or mock behind.
void diesWithTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Where scripts/dbusmock unpacks python3-dbusmock, and the folder that goes on PYTHONPATH.
const QString dbusmockSite = QStringLiteral(MORVEX_DBUSMOCK_ROOT "/usr/lib/python3/dist-packages");

// Unpacks python3-dbusmock into the build tree the first time a test needs it.
bool dbusmockUnpacked()
{
    if (QFile::exists(dbusmockSite + QStringLiteral("/dbusmock/__init__.py")))
        return true;
    QProcess unpack;
    unpack.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    unpack.start(QStringLiteral(MORVEX_SOURCE_DIR "/scripts/dbusmock"),
                 {QStringLiteral(MORVEX_DBUSMOCK_ROOT)});
    if (!unpack.waitForFinished(180000))
        unpack.kill();
    return QFile::exists(dbusmockSite + QStringLiteral("/dbusmock/__init__.py"));
}

} // namespace

void SystemBus::fetchMocksBeforeNamespace()
{
    if (QFile::exists(dbusmockSite + QStringLiteral("/dbusmock/__init__.py")))
        return;
    // What it failed to do is reported later, by unavailableReason().
    (void)std::system("'" MORVEX_SOURCE_DIR "/scripts/dbusmock' '" MORVEX_DBUSMOCK_ROOT
                      "' >/dev/null");
}

SystemBus::~SystemBus()
{
    if (!m_connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
    for (auto &mock : m_mocks)
        stop(*mock);
    if (m_daemon)
        stop(*m_daemon);
}

QString SystemBus::unavailableReason()
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        return QStringLiteral("dbus-daemon is not installed (dbus-daemon)");
    if (!QFileInfo(python).isExecutable())
        return QStringLiteral("python3 is not installed");
    if (!dbusmockUnpacked())
        return QStringLiteral("python3-dbusmock could not be unpacked into the build tree "
                              "(scripts/dbusmock)");
    QProcess probe;
    probe.start(python, {QStringLiteral("-c"), QStringLiteral("import dbus, gi.repository.GLib")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return QStringLiteral("python3-dbus or python3-gi is missing (scripts/install-deps test)");
    return QString();
}

bool SystemBus::start()
{
    const QString file = m_dir.filePath(QStringLiteral("system.conf"));
    QFile out(file);
    if (!m_dir.isValid() || !out.open(QIODevice::WriteOnly) || out.write(config) < 0) {
        m_error = QStringLiteral("cannot write ") + file;
        return false;
    }
    out.close();
    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    diesWithTest(*m_daemon);
    m_daemon->start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + file, QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")});
    QDeadlineTimer deadline(10000);
    while (!m_daemon->canReadLine() && !deadline.hasExpired() &&
           m_daemon->state() != QProcess::NotRunning)
        m_daemon->waitForReadyRead(int(deadline.remainingTime()));
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    if (m_address.isEmpty()) {
        m_error = QStringLiteral("dbus-daemon gave no address");
        return false;
    }
    // One connection per bus: a bus that goes away closes its own only.
    static int buses = 0;
    m_connectionName = QStringLiteral("morvex-test-system-bus-%1").arg(++buses);
    if (!QDBusConnection::connectToBus(m_address, m_connectionName).isConnected()) {
        m_error = QStringLiteral("cannot connect to the private system bus");
        return false;
    }
    return true;
}

bool SystemBus::startMock(const QString &name, const QString &busName)
{
    auto mock = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("PYTHONPATH"), dbusmockSite);
    mock->setProcessEnvironment(env);
    diesWithTest(*mock);
    mock->setProcessChannelMode(QProcess::MergedChannels);
    mock->setStandardOutputFile(m_dir.filePath(name + QStringLiteral(".log")));
    mock->start(python, {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                         QStringLiteral("--system"), QStringLiteral("--template"), name});
    QProcess *started = mock.get();
    m_mocks.push_back(std::move(mock));
    const QDBusConnection bus(m_connectionName);
    QDeadlineTimer deadline(20000);
    while (!bus.interface()->isServiceRegistered(busName)) {
        if (deadline.hasExpired() || started->state() == QProcess::NotRunning) {
            QFile log(m_dir.filePath(name + QStringLiteral(".log")));
            log.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("dbusmock %1 did not come up: %2")
                          .arg(name, QString::fromUtf8(log.readAll().right(1000)));
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

bool SystemBus::callMock(const QString &service, const QString &path, const QString &method,
                         const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, mockInterface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        m_error = method + QStringLiteral(": ") + reply.errorMessage();
        return false;
    }
    return true;
}

bool SystemBus::setNetworkManagerState(uint state)
{
    return callMock(networkManager, QStringLiteral("/org/freedesktop/NetworkManager"),
                    QStringLiteral("SetGlobalConnectionState"), {state});
}

bool SystemBus::setConnectivity(uint connectivity)
{
    return callMock(networkManager, QStringLiteral("/org/freedesktop/NetworkManager"),
                    QStringLiteral("SetConnectivity"), {connectivity});
}

bool SystemBus::prepareForSleep(bool sleeping)
{
    return callMock(QStringLiteral("org.freedesktop.login1"),
                    QStringLiteral("/org/freedesktop/login1"), QStringLiteral("EmitSignal"),
                    {QStringLiteral("org.freedesktop.login1.Manager"),
                     QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
                     QVariant(QVariantList{sleeping})});
}
