#include "MorvexApplication.h"

#include "ui/LightPalette.h"

#include <exception>

MorvexApplication::MorvexApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Morvex"));
    setApplicationVersion(QStringLiteral("%1.%2.%3")
                              .arg(MORVEX_VERSION_MAJOR)
                              .arg(MORVEX_VERSION_MINOR)
                              .arg(MORVEX_VERSION_REVISION));
    setQuitOnLastWindowClosed(false);
    LightPalette::keep(*this);
}

bool MorvexApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        report(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        report(QStringLiteral("unexpected failure"));
    }
    return false;
}

void MorvexApplication::report(const QString &what) noexcept
{
    try {
        if (m_sink)
            m_sink(QStringLiteral("  ERROR, ") + what);
    } catch (...) {
    }
}

void MorvexApplication::preferX11()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return;
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    qputenv("QT_QPA_PLATFORM", "xcb");
}
