#include "Captions.h"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <cmath>

namespace {

constexpr qreal Step = 0.25; // points
constexpr qreal Smallest = 1.0;

bool fits(const QFont &font, const QString &text, const QSize &room)
{
    const QFontMetricsF metrics(font);
    return std::ceil(metrics.horizontalAdvance(text)) <= room.width() &&
           std::ceil(metrics.height()) <= room.height();
}

QStyleOptionButton buttonOption(const QAbstractButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    return option;
}

} // namespace

QFont Captions::designFont(const QString &family, qreal points, bool bold)
{
    QFont font;
    QStringList families{family};
    for (const QString &standIn : {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")})
        if (!families.contains(standIn))
            families << standIn;
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QFont Captions::fitted(const QFont &design, const QString &text, const QSize &room)
{
    const qreal largest = design.pointSizeF();
    if (fits(design, text, room) || largest <= Smallest)
        return design;
    // Start from the size the advance scales to, then step to the largest size that fits:
    // hinting makes advances grow a little unevenly with the size.
    const QFontMetricsF metrics(design);
    qreal scale = 1.0;
    if (metrics.height() > 0)
        scale = qMin(scale, room.height() / metrics.height());
    if (const qreal advance = metrics.horizontalAdvance(text); advance > 0)
        scale = qMin(scale, room.width() / advance);
    qreal points = std::floor(largest * qMax(scale, 0.0) / Step) * Step;
    points = qBound(Smallest, points, largest - Step);
    QFont font = design;
    auto at = [&font](qreal size) -> const QFont & {
        font.setPointSizeF(size);
        return font;
    };
    if (fits(at(points), text, room)) {
        while (points + Step < largest && fits(at(points + Step), text, room))
            points += Step;
    } else {
        while (points > Smallest && !fits(at(points - Step), text, room))
            points -= Step;
        points = qMax(Smallest, points - Step);
    }
    return at(points);
}

QSize Captions::room(const QLabel *label)
{
    const int margin = label->margin();
    QSize size = label->contentsRect().size() - QSize(2 * margin, 2 * margin);
    if (label->indent() > 0)
        size.rwidth() -= label->indent();
    return size;
}

QSize Captions::room(const QCheckBox *box)
{
    const QStyleOptionButton option = buttonOption(box);
    return box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box).size();
}

QSize Captions::room(const QPushButton *button)
{
    const QStyleOptionButton option = buttonOption(button);
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
}

void Captions::setCaption(QLabel *label, const QString &text, const QFont &design)
{
    const QFont font = fitted(design, text, room(label));
    if (label->font() != font)
        label->setFont(font);
    label->setText(text);
}

void Captions::fit(QCheckBox *box, const QFont &design)
{
    box->setFont(fitted(design, box->text(), room(box)));
}

void Captions::fit(QPushButton *button, const QFont &design)
{
    button->setFont(fitted(design, button->text(), room(button)));
}
