#include "LightPalette.h"

#include <QApplication>
#include <QColor>
#include <QEvent>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>

#include <cmath>
#include <memory>

namespace {

double channel(double value)
{
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

// Puts the light palette back whenever the application's turns dark.
class Keeper : public QObject {
public:
    using QObject::QObject;

    static void apply()
    {
        if (LightPalette::isDark(QApplication::palette()))
            QApplication::setPalette(LightPalette::light());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Sent to the application before its widgets hear of the new palette: they take the
        // light one straight away.
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
            apply();
        return false;
    }
};

} // namespace

QPalette LightPalette::light()
{
    static const QPalette palette = [] {
        const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
        QPalette p = fusion ? fusion->standardPalette() : QPalette(QColor(239, 239, 239));
        for (int group = 0; group < QPalette::NColorGroups; ++group) {
            for (int role = 0; role < QPalette::NColorRoles; ++role) {
                const auto g = QPalette::ColorGroup(group);
                const auto r = QPalette::ColorRole(role);
                p.setBrush(g, r, p.brush(g, r));
            }
        }
        return p;
    }();
    return palette;
}

double LightPalette::luminance(const QColor &colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

double LightPalette::contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool LightPalette::isDark(const QPalette &palette)
{
    const auto lighter = [&](QPalette::ColorRole text, QPalette::ColorRole ground) {
        return luminance(palette.color(QPalette::Active, text)) >
               luminance(palette.color(QPalette::Active, ground));
    };
    return lighter(QPalette::WindowText, QPalette::Window) ||
           lighter(QPalette::ButtonText, QPalette::Button) ||
           lighter(QPalette::Text, QPalette::Base);
}

void LightPalette::keep(QApplication &app)
{
    static QPointer<Keeper> keeper;
    if (keeper)
        return;
    keeper = new Keeper(&app);
    app.installEventFilter(keeper);
    Keeper::apply();
}
