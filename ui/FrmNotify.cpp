#include "FrmNotify.h"

#include "Accessible.h"
#include "Captions.h"
#include "Forms.h"
#include "Module1.h"
#include "Pictures.h"
#include "StackingWatch.h"
#include "ThinFrame.h"
#include "mail/ChangeLog.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

namespace {

// The pace of keeping on top: the first raise this long after the window opens, and never two
// raises closer together (another window that wants the top as well takes turns with this one).
constexpr int RaiseEveryMs = 500;

QFont entryFont()
{
    return Captions::designFont(QStringLiteral("MS Sans Serif"), 18);
}

// Picture1: a sunken panel filled with mid grey. The grey is painted here instead of being
// set in the panel's palette: a palette of its own would pass on to the scroll bar inside,
// and the style keeps the scroll bar's pictures in the process-wide pixmap cache under the
// palette's identity, so each new window would add a set of entries of its own.
class GreyPanel : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPainter(this).fillRect(rect(), QColor(128, 128, 128));
        QFrame::paintEvent(event);
    }
};

QFont timeFont()
{
    return Captions::designFont(QStringLiteral("MS Sans Serif"), 9.75);
}

QLabel *greyLabel(QWidget *parent, const char *name, const QString &text, const QRect &box,
                  const QFont &f)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText); // entries show as the log holds them, never as markup
    label->setGeometry(box);
    Captions::setCaption(label, text, f);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(224, 224, 224));
    label->setPalette(palette);
    return label;
}

} // namespace

FrmNotify::FrmNotify()
    : FrmNotify(Module1::changeLog())
{
}

FrmNotify::FrmNotify(const ChangeLog &log)
    : QDialog(nullptr, Qt::Tool | Qt::FramelessWindowHint)
    , m_log(log)
{
    Accessible::install();
    setObjectName(QStringLiteral("FrmNotify"));
    setWindowTitle(QStringLiteral("Morvex notification")); // never shown: there is no title bar
    setWindowIcon(morvexIcon());
    setFixedSize(295, 104);

    // Picture1's children are placed in its inner area, inside the sunken frame.
    Picture1 = new GreyPanel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setLineWidth(2);
    Picture1->setGeometry(3, 3, 290, 82);
    const int inner = Picture1->frameWidth();

    Label1 = greyLabel(Picture1, "Label1", QStringLiteral("0 New Messages"),
                       QRect(41 + inner, 18 + inner, 211, 31), entryFont());
    Label2 = greyLabel(Picture1, "Label2", QStringLiteral("[ None at the moment. ]"),
                       QRect(82 + inner, 48 + inner, 164, 17), timeFont());

    VScroll1 = new QScrollBar(Qt::Vertical, Picture1);
    VScroll1->setObjectName(QStringLiteral("VScroll1"));
    VScroll1->setGeometry(263 + inner, 10 + inner, 15, 59);
    VScroll1->setRange(1, 1);
    VScroll1->setValue(1);
    VScroll1->setSingleStep(1);
    VScroll1->setPageStep(1);
    VScroll1->setTracking(false); // the texts follow the thumb when it is released
    VScroll1->setAccessibleName(QStringLiteral("Change log"));
    connect(VScroll1, &QScrollBar::valueChanged, this, &FrmNotify::VScroll1_Change);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(RaiseEveryMs);
    Timer1->setSingleShot(true); // later raises follow what the window system reports
    connect(Timer1, &QTimer::timeout, this, &FrmNotify::Timer1_Timer);
    Timer1->start();
    m_stacking = new StackingWatch(this);
    connect(m_stacking, &StackingWatch::stackingChanged, this, &FrmNotify::stackingChanged);

    Picture2 = new QFrame(this);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture2->setLineWidth(2);
    Picture2->setGeometry(239, 85, 54, 18);
    cmdClose = new QPushButton(QStringLiteral(" Close"), Picture2);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setGeometry(Picture2->frameWidth(), Picture2->frameWidth(), 50, 14);
    Captions::fit(cmdClose, Captions::designFont(QStringLiteral("Arial"), 6.75, true));
    cmdClose->setAutoDefault(false);
    connect(cmdClose, &QPushButton::clicked, this, &FrmNotify::cmdClose_Click);

    Label3 = new QLabel(webAddress(), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setFont(Captions::designFont(QStringLiteral("Arial"), 6.75));
    Label3->move(5, 91);
    Label3->adjustSize();

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    ThinFrame::attach(this);
}

void FrmNotify::Form_Load()
{
    const int newest = m_log.logIdx();
    if (newest < 1)
        return;
    VScroll1->setMaximum(newest);
    showEntry(newest);
    VScroll1->setValue(VScroll1->maximum());
}

void FrmNotify::VScroll1_Change()
{
    const int row = VScroll1->value();
    if (row > m_log.logIdx() || row < 1)
        return;
    showEntry(row);
}

void FrmNotify::showEntry(int row)
{
    Captions::setCaption(Label1, m_log.logText(row), entryFont());
    Captions::setCaption(Label2, QStringLiteral("[ ") + m_log.logTime(row) + QStringLiteral(" ]"),
                         timeFont());
}

void FrmNotify::Timer1_Timer()
{
    Module1::keepOnTop(this);
    m_lastRaise.start();
}

void FrmNotify::stackingChanged()
{
    // Before the first tick the window is not on top yet, and the tick is on its way.
    if (Timer1->isActive() || !(windowFlags() & Qt::WindowStaysOnTopHint) || !m_stacking->covered())
        return;
    if (m_lastRaise.isValid() && m_lastRaise.elapsed() < RaiseEveryMs)
        Timer1->start();
    else
        Timer1_Timer();
}

void FrmNotify::cmdClose_Click()
{
    Q_EMIT closedWithButton();
    Forms::notify().unloadFrom(this);
}

void FrmNotify::reject()
{
    cmdClose_Click();
}
