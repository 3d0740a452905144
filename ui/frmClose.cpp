#include "frmClose.h"

#include "Forms.h"
#include "Module1.h"
#include "Pictures.h"
#include "app/frmPop.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

namespace {
QFont arial(qreal points, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
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

    Label1 = new QLabel(QStringLiteral("Exit Morvex?"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(arial(14.25, false));
    Label1->move(7, 9);
    Label1->adjustSize();
    Label2 = new QLabel(QStringLiteral("ver9.73"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(arial(6.75, true));
    Label2->move(126, 17);
    Label2->adjustSize();

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
}

void frmClose::Form_Load()
{
    Label2->setText(QStringLiteral("ver %1.%2.%3")
                        .arg(MORVEX_VERSION_MAJOR)
                        .arg(MORVEX_VERSION_MINOR)
                        .arg(MORVEX_VERSION_REVISION));
    Label2->adjustSize(); // grows to the right from its left edge
    Module1::keepOnTop(this);
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
