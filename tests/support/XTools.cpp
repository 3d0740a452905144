#include "XTools.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace {

quint64 parseId(const QString &text)
{
    bool ok = false;
    const quint64 id = text.toULongLong(&ok, 16);
    return ok ? id : 0;
}

QString hex(quint64 window)
{
    return QStringLiteral("0x%1").arg(window, 0, 16);
}

} // namespace

bool XTools::available()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

bool XTools::trayHost()
{
    return qEnvironmentVariable("MORVEX_TRAY") == u"1";
}

bool XTools::windowManager()
{
    return qEnvironmentVariable("MORVEX_WM") == u"1";
}

QString XTools::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    // The program's own windows keep handling events meanwhile, as they would while a user
    // moves the mouse.
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QList<quint64> XTools::stackingOrder()
{
    QList<quint64> order;
    if (windowManager()) {
        // The root's children are the window manager's frames; it lists the windows it
        // manages in _NET_CLIENT_LIST_STACKING, bottom first.
        static const QRegularExpression id(QStringLiteral("0x[0-9a-f]+"));
        const QString list = run(QStringLiteral("xprop"), {"-root", "_NET_CLIENT_LIST_STACKING"});
        for (auto it = id.globalMatch(list); it.hasNext();)
            order.prepend(parseId(it.next().captured(0)));
        return order;
    }
    // xwininfo lists the root's children topmost first.
    static const QRegularExpression line(QStringLiteral("^\\s+(0x[0-9a-f]+) "));
    for (const QString &row :
         run(QStringLiteral("xwininfo"), {"-root", "-children"}).split(u'\n')) {
        const auto match = line.match(row);
        if (match.hasMatch())
            order.append(parseId(match.captured(1)));
    }
    return order;
}

QList<quint64> XTools::trayIcons(const QString &name)
{
    // The panel's subtree: the icons sit inside the host's embedding windows.
    QList<quint64> icons;
    const QStringList rows = run(QStringLiteral("xwininfo"), {"-root", "-tree"}).split(u'\n');
    int panelIndent = -1;
    for (const QString &row : rows) {
        const int indent = int(row.size() - row.trimmed().size());
        if (row.contains(QStringLiteral("\"panel\": (\"panel\""))) {
            panelIndent = indent;
            continue;
        }
        if (panelIndent < 0 || row.trimmed().isEmpty())
            continue;
        if (indent <= panelIndent && row.trimmed().startsWith(QStringLiteral("0x"))) {
            panelIndent = -1;
            continue;
        }
        if (row.contains(u'"' + name + u'"'))
            icons << parseId(row.trimmed().section(u' ', 0, 0));
    }
    return icons;
}

int XTools::waitForTrayIcons(const QString &name, int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    int found = int(trayIcons(name).size());
    while (found != count && !deadline.hasExpired()) {
        QTest::qWait(100);
        found = int(trayIcons(name).size());
    }
    return found;
}

QRect XTools::geometry(quint64 window)
{
    const QString info = run(QStringLiteral("xwininfo"), {"-id", hex(window)});
    auto value = [&](const char *label) {
        const QRegularExpression re(QString::fromLatin1(label) + QStringLiteral(":\\s+(-?\\d+)"));
        return re.match(info).captured(1).toInt();
    };
    return QRect(value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"),
                 value("Height"));
}

QStringList XTools::netWmState(quint64 window)
{
    static const QRegularExpression atom(QStringLiteral("_NET_WM_STATE_[A-Z_]+"));
    QStringList states;
    const QString line = run(QStringLiteral("xprop"), {"-id", hex(window), "_NET_WM_STATE"});
    for (auto it = atom.globalMatch(line); it.hasNext();)
        states << it.next().captured(0);
    return states;
}

bool XTools::viewable(quint64 window)
{
    return run(QStringLiteral("xwininfo"), {"-id", hex(window)})
        .contains(QStringLiteral("IsViewable"));
}

QList<quint64> XTools::windowsNamed(const QString &name)
{
    QList<quint64> found;
    const QString quoted = u'"' + name + u'"';
    for (const QString &row : run(QStringLiteral("xwininfo"), {"-root", "-tree"}).split(u'\n')) {
        const QString trimmed = row.trimmed();
        if (trimmed.startsWith(QStringLiteral("0x")) &&
            trimmed.section(u' ', 1).startsWith(quoted + u':'))
            found << parseId(trimmed.section(u' ', 0, 0));
    }
    return found;
}

void XTools::click(const QPoint &at, int button, int repeat)
{
    run(QStringLiteral("xdotool"),
        {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "--repeat",
         QString::number(repeat), "--delay", "80", QString::number(button)});
}

void XTools::clickWindow(quint64 window, int button, int repeat)
{
    const QRect area = geometry(window);
    click(area.center(), button, repeat);
}

void XTools::key(const QString &keys)
{
    run(QStringLiteral("xdotool"), {"key", keys});
}

void XTools::moveMouse(const QPoint &to)
{
    run(QStringLiteral("xdotool"), {"mousemove", QString::number(to.x()), QString::number(to.y())});
}

void XTools::drag(const QPoint &from, const QPoint &to, int button,
                  const std::function<bool()> &arrived)
{
    const QString b = QString::number(button);
    const auto moveTo = [](const QPoint &at) {
        run(QStringLiteral("xdotool"),
            {"mousemove", QString::number(at.x()), QString::number(at.y())});
    };
    moveTo(from);
    run(QStringLiteral("xdotool"), {"mousedown", b});
    // A few steps, as a hand moves, so the window sees motion while the button is held.
    for (int step = 1; step <= 4; ++step)
        moveTo(from + (to - from) * step / 4);
    const QDeadlineTimer deadline(3000);
    while (arrived && !arrived() && !deadline.hasExpired()) {
        moveTo(to + QPoint(1, 0));
        moveTo(to);
        QTest::qWait(50);
    }
    run(QStringLiteral("xdotool"), {"mouseup", b});
}

QString XTools::screenshot(const QString &name, const QRect &area)
{
    const QString dir = QString::fromUtf8(MORVEX_ARTEFACTS_DIR);
    QDir().mkpath(dir);
    const QString path = dir + u'/' + name + QStringLiteral(".png");
    run(QStringLiteral("import"),
        {"-window", "root", "-crop",
         QStringLiteral("%1x%2+%3+%4")
             .arg(area.width())
             .arg(area.height())
             .arg(area.x())
             .arg(area.y()),
         "+repage", path},
        15000);
    return path;
}
