// The baseline for the idle and start-up benchmarks: the least a Qt Widgets program with a
// tray icon and a window can be. A window named "Bare tray" with one label, and a tray icon
// with a plain painted picture; no timers, no network, no settings.
//   bare_tray [--tls]
// --tls makes a QSslSocket, which loads QtNetwork's TLS backend, OpenSSL and the system's
// trusted authorities, as a program has them that checks its mail over QSslSocket; it
// opens no connection.
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSslSocket>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // A socket made and kept, never connected: what a program that checks its mail over
    // QSslSocket has loaded before its first connection.
    std::unique_ptr<QSslSocket> socket;
    if (app.arguments().contains(QStringLiteral("--tls"))) {
        socket = std::make_unique<QSslSocket>();
        if (!QSslSocket::supportsSsl())
            return 1;
    }

    QPixmap picture(22, 22);
    picture.fill(Qt::transparent);
    {
        QPainter p(&picture);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0xF0, 0x78, 0x00));
        p.drawEllipse(QRectF(1, 1, 20, 20));
    }
    QSystemTrayIcon tray{QIcon(picture)};
    tray.setToolTip(QStringLiteral("Bare tray"));
    tray.show();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare tray"));
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("A tray icon and this window.")));
    window.resize(300, 200);
    window.show();
    return app.exec();
}
