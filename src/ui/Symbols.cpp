#include "ui/Symbols.hpp"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

namespace brightfold {

namespace {

/// Symbol names to icon-theme names of the same meaning. A symbol whose look
/// carries state (filled marks, empty circles) has none, so the bundled picture
/// always stands for it.
const QHash<QString, QString>& themeNames()
{
    static const QHash<QString, QString> names {
        { QStringLiteral("sdcard"), QStringLiteral("media-flash") },
        { QStringLiteral("sdcard.fill"), QStringLiteral("media-flash") },
        { QStringLiteral("questionmark.circle"), QStringLiteral("dialog-question") },
        { QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh") },
        { QStringLiteral("doc"), QStringLiteral("document-open") },
        { QStringLiteral("doc.text"), QStringLiteral("x-office-document") },
        { QStringLiteral("photo"), QStringLiteral("image-x-generic") },
        { QStringLiteral("photo.on.rectangle"), QStringLiteral("image-x-generic") },
        { QStringLiteral("clock.arrow.circlepath"), QStringLiteral("document-open-recent") },
        { QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning") },
        { QStringLiteral("folder"), QStringLiteral("folder-open") },
        { QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("media-playback-start") },
        { QStringLiteral("bandage"), QStringLiteral("emblem-important") },
        { QStringLiteral("magnifyingglass"), QStringLiteral("edit-find") },
        { QStringLiteral("square.grid.2x2"), QStringLiteral("view-grid") },
        { QStringLiteral("chevron.left"), QStringLiteral("go-previous") },
        { QStringLiteral("square.and.arrow.down"), QStringLiteral("document-save") },
        { QStringLiteral("trash"), QStringLiteral("user-trash") },
        { QStringLiteral("camera.aperture"), QStringLiteral("camera-photo") },
        { QStringLiteral("film"), QStringLiteral("video-x-generic") },
        { QStringLiteral("waveform"), QStringLiteral("audio-x-generic") },
        { QStringLiteral("shippingbox"), QStringLiteral("package-x-generic") },
    };
    return names;
}

QString bundledPath(const QString& symbol)
{
    return QStringLiteral(":/symbols/%1.svg").arg(symbol);
}

}

QString Symbols::themeName(const QString& symbol)
{
    return themeNames().value(symbol);
}

QPixmap Symbols::tinted(const QString& symbol, int side, const QColor& tint, qreal devicePixelRatio)
{
    QSvgRenderer renderer(bundledPath(symbol));
    if (!renderer.isValid())
        return {};
    int pixels = qRound(side * devicePixelRatio);
    QImage image(pixels, pixels, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    // The pictures are black shapes with white cut-outs: black takes the tint,
    // white stays white, edges blend between the two.
    for (int y = 0; y < pixels; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < pixels; ++x) {
            int alpha = qAlpha(row[x]);
            if (alpha == 0)
                continue;
            double light = qRed(row[x]) / 255.0;
            auto mix = [&](int channel) { return qRound(channel * (1 - light) + 255 * light); };
            row[x] = qRgba(mix(tint.red()), mix(tint.green()), mix(tint.blue()), alpha * tint.alpha() / 255);
        }
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon Symbols::icon(const QString& symbol, const QColor& tint)
{
    QString theme = themeName(symbol);
    if (!theme.isEmpty() && QIcon::hasThemeIcon(theme))
        return QIcon::fromTheme(theme);
    QIcon icon;
    for (qreal ratio : { 1.0, 2.0, 3.0 }) {
        for (int side : { 16, 24 })
            icon.addPixmap(tinted(symbol, side, tint, ratio));
    }
    return icon;
}

QIcon Symbols::applicationIcon()
{
    return QIcon::fromTheme(QStringLiteral("brightfold-recover"), QIcon(bundledPath(QStringLiteral("brightfold-recover"))));
}

}
