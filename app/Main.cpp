#include "Main.h"

#include "MorvexApplication.h"
#include "frmPop.h"

int Main(MorvexApplication &app)
{
    frmPop window;
    app.setStatusSink([&window](const QString &text) { window.setStatLbl(text); });
    if (!window.Show())
        return 0;
    const int status = app.exec();
    app.setStatusSink({});
    return status;
}
