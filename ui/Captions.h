#pragma once

#include <QFont>
#include <QSize>

class QCheckBox;
class QLabel;
class QPushButton;
class QString;

// The fonts the windows' layouts name, and captions that always show whole: a caption that
// does not fit its box at the layout's size is shown a little smaller, never clipped,
// wrapped or with its box moved or resized.
namespace Captions {

// The layout's font: `family` where it is installed, else a face with the same metrics
// (Liberation Sans, which is what Arial and MS Sans Serif fall back to on every window).
QFont designFont(const QString &family, qreal points, bool bold = false);

// `design` itself when `text` fits `room` on one line, else the same face at the largest
// smaller size, in steps of a quarter point, at which it does (at least 1 pt).
QFont fitted(const QFont &design, const QString &text, const QSize &room);

// The room a label, check box or push button gives its caption.
QSize room(const QLabel *label);
QSize room(const QCheckBox *box);
QSize room(const QPushButton *button);

// Sets the caption and the font at which it fits the control's box.
void setCaption(QLabel *label, const QString &text, const QFont &design);
void fit(QCheckBox *box, const QFont &design);
void fit(QPushButton *button, const QFont &design);

} // namespace Captions
