#include "PopLayout.h"

#include "Captions.h"
#include "GraphicalButton.h"
#include "Pictures.h"
#include "ScreenPlace.h"
#include "Shape.h"
#include "ThinFrame.h"
#include "app/frmPop.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleFactory>

namespace {

// The password box shows every character as an asterisk, whatever the desktop's style uses.
class AsteriskStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QColor rgb(unsigned hex)
{
    return QColor((hex >> 16) & 0xFF, (hex >> 8) & 0xFF, hex & 0xFF);
}

void paint(QWidget *widget, QPalette::ColorRole role, unsigned hex)
{
    QPalette palette = widget->palette();
    palette.setColor(role, rgb(hex));
    widget->setPalette(palette);
}

void opaque(QWidget *widget, unsigned background)
{
    widget->setAutoFillBackground(true);
    widget->setBackgroundRole(QPalette::Window); // buttons would fill with their face colour
    paint(widget, QPalette::Window, background);
}

QFont arial(qreal points, bool bold)
{
    return Captions::designFont(QStringLiteral("Arial"), points, bold);
}

void place(QWidget *widget, int x, int y, int w, int h, const char *tip = nullptr)
{
    widget->setGeometry(x, y, w, h);
    if (tip)
        widget->setToolTip(QString::fromLatin1(tip));
}

void styleTextBox(QLineEdit *edit)
{
    paint(edit, QPalette::Base, 0xE0E0E0);
    paint(edit, QPalette::Text, 0x0000C0);
}

void styleCommandLabel(QLabel *label)
{
    opaque(label, 0xFFFFFF);
    label->setAlignment(Qt::AlignCenter);
}

} // namespace

void layoutPopWindow(frmPop &w)
{
    w.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    w.setWindowIcon(morvexIcon());
    w.setFixedSize(349, 210);
    ScreenPlace::keep(&w, QPoint(452, 360));
    // The layout's own font, or one with its metrics.
    w.setFont(Captions::designFont(QStringLiteral("MS Sans Serif"), 8.25));

    w.Text1->setGeometry(16, 221, 92, 42);
    w.Text1->setFont(Captions::designFont(QStringLiteral("MS Sans Serif"), 24));
    place(w.Picture1, 1, 1, 348, 209);
    opaque(w.Picture1, 0x808080);

    place(w.cmdReSet, 282, 83, 43, 19, "Restore saved settings.");
    w.cmdReSet->setFont(arial(8.25, true));
    paint(w.cmdReSet, QPalette::Button, 0xC0FFFF);
    place(w.Check1, 52, 20, 108, 12, "Start MoRvEx as minimised to system tray.");
    opaque(w.Check1, 0x008080);
    paint(w.Check1, QPalette::WindowText, 0xE0E0E0);
    place(w.Text2, 51, 34, 153, 19, "Enter pop server/proxy setting here.");
    place(w.Text3, 51, 58, 153, 19, "Enter accont user name here.");
    place(w.Text4, 51, 82, 153, 19, "Enter account password here.");
    w.Text4->setAttribute(Qt::WA_InputMethodEnabled, false);
    auto *asterisks = new AsteriskStyle(QStyleFactory::create(QApplication::style()->name()));
    asterisks->setParent(w.Text4);
    w.Text4->setStyle(asterisks);
    place(w.Text5, 211, 82, 25, 19, "Enter time delay in minutes.");
    w.Text5->setAlignment(Qt::AlignCenter);
    for (QLineEdit *edit : {w.Text2, w.Text3, w.Text4, w.Text5})
        styleTextBox(edit);
    // What a screen reader calls each box: the names the window gives them (the boxes' own
    // design texts, the interval's label); their tooltips are read as descriptions.
    w.Text2->setAccessibleName(QStringLiteral("Server"));
    w.Text3->setAccessibleName(QStringLiteral("Login"));
    w.Text4->setAccessibleName(QStringLiteral("Password"));
    w.Text5->setAccessibleName(w.Label1->text());
    place(w.cmdSet, 239, 83, 43, 19, "Save current settings.");
    w.cmdSet->setFont(arial(8.25, true));
    paint(w.cmdSet, QPalette::Button, 0xFFC0FF);
    place(w.cmdCheck, 210, 35, 115, 31, "Check pop mail now.");
    w.cmdCheck->setFont(arial(14.25, true));
    paint(w.cmdCheck, QPalette::Button, 0xC0C0FF);
    // "Check Now" is the window's default button (Enter elsewhere: frmPop::keyPressEvent);
    // the other buttons take Enter themselves while they have the focus.
    w.cmdCheck->setDefault(true);
    w.cmdSet->setAutoDefault(true);
    w.cmdReSet->setAutoDefault(true);

    place(w.Label2, 236, 165, 77, 15, "Minimise aplication to tray.");
    place(w.Label3, 151, 165, 77, 15, "View email message log.");
    place(w.Label4, 66, 165, 77, 15, "Close and exit application.");
    styleCommandLabel(w.Label2);
    styleCommandLabel(w.Label3);
    styleCommandLabel(w.Label4);
    paint(w.Label2, QPalette::Window, 0xC0FFC0);
    paint(w.Label3, QPalette::Window, 0xFFC080);
    paint(w.Label4, QPalette::Window, 0xFFC0C0);

    place(w.Image1, 0, 6, 36, 193);
    w.Image1->setPixmap(bannerPicture(qApp->devicePixelRatio()));
    w.Image1->setCursor(Qt::SizeAllCursor);
    place(w.Label1, 212, 67, 109, 13);
    paint(w.Label1, QPalette::WindowText, 0xE0E0E0);
    place(w.statLbl, 52, 107, 272, 17, " Status......");
    place(w.newLbl, 52, 130, 272, 17, " Mails In InBox....");
    opaque(w.statLbl, 0xFFFFC0);
    opaque(w.newLbl, 0xFFFFC0);
    // The status lines show server texts: never as markup.
    w.statLbl->setTextFormat(Qt::PlainText);
    w.newLbl->setTextFormat(Qt::PlainText);
    // Every caption at the layout's size where it fits its box, a little smaller where not.
    for (QLabel *label : {w.Label1, w.Label2, w.Label3, w.Label4, w.statLbl, w.newLbl})
        Captions::setCaption(label, label->text(), w.font());
    Captions::fit(w.Check1, w.font());

    place(w.Shape2, 63, 162, 83, 21);
    place(w.Shape3, 148, 162, 83, 21);
    place(w.Shape4, 233, 162, 83, 21);
    for (Shape *frame : {w.Shape2, w.Shape3, w.Shape4})
        frame->setColours(rgb(0x808080), rgb(0xFFFF80));
    place(w.Shape1, 44, 13, 288, 179);
    w.Shape1->setColours(rgb(0x008080), rgb(0xC0FFC0));

    // Keyboard order: server, login, password, interval, Save, Check Now, the start box, Reset.
    QWidget::setTabOrder(w.Text2, w.Text3);
    QWidget::setTabOrder(w.Text3, w.Text4);
    QWidget::setTabOrder(w.Text4, w.Text5);
    QWidget::setTabOrder(w.Text5, w.cmdSet);
    QWidget::setTabOrder(w.cmdSet, w.cmdCheck);
    QWidget::setTabOrder(w.cmdCheck, w.Check1);
    QWidget::setTabOrder(w.Check1, w.cmdReSet);

    w.cmdCheck->setPictures(envelopeClosed(2.0), envelopeOpen(2.0));
    ThinFrame::attach(&w);
}
