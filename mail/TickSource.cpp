#include "TickSource.h"

#ifdef Q_OS_LINUX
#include <time.h>
#else
#include <QElapsedTimer>
#endif

qint64 SystemTicks::now() const
{
#ifdef Q_OS_LINUX
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#else
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed() + 1;
#endif
}
