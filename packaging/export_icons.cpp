// Writes the program's icon for the desktop's icon theme, from the same drawing code as the
// tray icon: PNGs at the usual theme sizes and a scalable SVG.
//   morvex_export_icons OUTDIR
// creates OUTDIR/hicolor/NxN/apps/morvex.png and OUTDIR/hicolor/scalable/apps/morvex.svg.
#include "ui/Pictures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPixmap>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int SvgSize = 256;

QString number(qreal value)
{
    QString text = QString::number(value, 'f', 3);
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    return text == u"-0" ? QStringLiteral("0") : text;
}

QString colour(const QColor &c)
{
    return c.name(QColor::HexRgb);
}

QString points(const QPolygonF &polygon)
{
    QStringList list;
    for (const QPointF &point : polygon)
        list << number(point.x()) + u',' + number(point.y());
    return list.join(u' ');
}

QByteArray svg(const IconGeometry &g)
{
    QString text;
    QTextStream out(&text);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << SvgSize << "\" height=\""
        << SvgSize << "\" viewBox=\"0 0 " << SvgSize << ' ' << SvgSize << "\">\n"
        << "  <title>Morvex</title>\n"
        << "  <defs>\n"
        << "    <radialGradient id=\"glow\" gradientUnits=\"userSpaceOnUse\" cx=\""
        << number(g.centre.x()) << "\" cy=\"" << number(g.centre.y()) << "\" r=\""
        << number(g.glowRadius) << "\">\n"
        << "      <stop offset=\"0\" stop-color=\"" << colour(g.glowInner) << "\"/>\n"
        << "      <stop offset=\"1\" stop-color=\"" << colour(g.glowOuter) << "\"/>\n"
        << "    </radialGradient>\n"
        << "  </defs>\n"
        << "  <polygon points=\"" << points(g.star) << "\" fill=\"url(#glow)\" stroke=\""
        << colour(g.outline) << "\" stroke-width=\"" << number(g.outlineWidth)
        << "\" stroke-linejoin=\"bevel\"/>\n"
        << "  <polygon points=\"" << points(g.bar) << "\" fill=\"" << colour(g.mark) << "\"/>\n"
        << "  <circle cx=\"" << number(g.dot.x()) << "\" cy=\"" << number(g.dot.y()) << "\" r=\""
        << number(g.dotRadius) << "\" fill=\"" << colour(g.mark) << "\"/>\n"
        << "</svg>\n";
    out.flush();
    return text.toUtf8();
}

bool write(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing is shown: the pixmaps only need a platform to exist.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString theme = QFile::decodeName(argv[1]) + QStringLiteral("/hicolor");

    for (const int size : iconThemeSizes()) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(theme).arg(size);
        const QString path = dir + QStringLiteral("/morvex.png");
        if (!QDir().mkpath(dir) || !iconPixmap(size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    const QString path = theme + QStringLiteral("/scalable/apps/morvex.svg");
    if (!write(path, svg(iconGeometry(SvgSize)))) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}
