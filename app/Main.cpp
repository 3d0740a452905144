#include "Main.h"

#include "MorvexApplication.h"
#include "SessionEnd.h"
#include "frmPop.h"

int Main(MorvexApplication &app)
{
    frmPop window;
    app.setStatusSink([&window](const QString &text) { window.setStatLbl(text); });
    if (!window.Show())
        return 0;
    SessionEnd sessionEnd(window);
    const int status = app.exec();
    app.setStatusSink({});
    return status;
}
