#pragma once

#include <QApplication>
#include <functional>

// The application object. Its notify() is the last line of defence: an exception that
// escapes an event handler becomes a status text instead of ending the program.
class MorvexApplication : public QApplication {
    Q_OBJECT
public:
    MorvexApplication(int &argc, char **argv);

    using StatusSink = std::function<void(const QString &)>;
    void setStatusSink(StatusSink sink) { m_sink = std::move(sink); }

    bool notify(QObject *receiver, QEvent *event) override;

    // Under a Wayland session, use XWayland when it is there (absolute window positions and
    // the on-top layer need it), unless the user chose a platform.
    static void preferX11();

private:
    void report(const QString &what) noexcept;

    StatusSink m_sink;
};
