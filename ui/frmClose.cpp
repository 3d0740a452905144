#include "frmClose.h"

#include "Captions.h"
#include "Forms.h"
#include "Module1.h"
#include "Pictures.h"
#include "ThinFrame.h"
#include "app/frmPop.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>

#include <cmath>

namespace {
QFont arial(qreal points, bool bold)
{
    return Captions::designFont(QStringLiteral("Arial"), points, bold);
}
} // namespace

frmClose::frmClose(frmPop *owner)
    : QDialog(nullptr, Qt::Tool | Qt::FramelessWindowHint)
    , m_owner(owner)
{
    setObjectName(QStringLiteral("frmClose"));
    setWindowTitle(QStringLiteral("Exit Morvex"));
    setWindowIcon(morvexIcon());
    setFixedSize(176, 64);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(7, 9, 115, 22);
    Captions::setCaption(Label1, QStringLiteral("Exit Morvex?"), arial(14.25, false));
    Label2 = new QLabel(this);
    Label2->setObjectName(QStringLiteral("Label2"));
    setVersionText(QStringLiteral("ver9.73"));

    Command1 = new QPushButton(QStringLiteral("Exit"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(9, 37, 77, 21);
    Command2 = new QPushButton(QStringLiteral("No way"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(91, 37, 77, 21);
    for (QPushButton *button : {Command1, Command2}) {
        button->setAutoDefault(false); // neither is a default button
        button->setDefault(false);
    }
    setTabOrder(Command1, Command2);
    connect(Command1, &QPushButton::clicked, this, &frmClose::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmClose::Command2_Click);

    if (owner)
        move(owner->geometry().center() - rect().center());
    Command1->setFocus();
    ThinFrame::attach(this);
}

void frmClose::Form_Load()
{
    setVersionText(QStringLiteral("ver %1.%2.%3")
                       .arg(MORVEX_VERSION_MAJOR)
                       .arg(MORVEX_VERSION_MINOR)
                       .arg(MORVEX_VERSION_REVISION));
    Module1::keepOnTop(this);
}

void frmClose::setVersionText(const QString &text)
{
    // The label grows to the right from its left edge to fit its text, up to the frame.
    const QFont design = arial(6.75, true);
    const QSize room(width() - 1 - 126, 11);
    const QFont font = Captions::fitted(design, text, room);
    Label2->setFont(font);
    Label2->setText(text);
    const int advance = int(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
    Label2->setGeometry(126, 17, qBound(32, advance, room.width()), 11);
}

void frmClose::Command1_Click()
{
    if (m_owner)
        m_owner->remTaskbar();
    QCoreApplication::exit(0);
}

void frmClose::Command2_Click()
{
    Forms::close().unloadFrom(this);
}

void frmClose::reject()
{
    Command2_Click();
}
