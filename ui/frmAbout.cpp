#include "frmAbout.h"

#include "Forms.h"
#include "Module1.h"
#include "Pictures.h"
#include "ThinFrame.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

frmAbout::frmAbout()
    : QDialog(nullptr, Qt::Tool | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Morvex"));
    setWindowIcon(morvexIcon());
    setFixedSize(203, 85);
    setCursor(Qt::UpArrowCursor);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    ThinFrame::attach(this);
}

void frmAbout::Form_Load()
{
    Module1::keepOnTop(this);
}

void frmAbout::Form_Click()
{
    Forms::about().unloadFrom(this);
}

void frmAbout::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, aboutPicture(devicePixelRatioF()));
}

void frmAbout::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Form_Click();
}

void frmAbout::reject()
{
    Form_Click();
}
