#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace brightfold {

/// The symbols the screens name ("sdcard", "checkmark.circle.fill", …) drawn on
/// this desktop: the icon theme's icon of the same meaning when the theme has
/// one, else a small picture bundled with the application, tinted to match the
/// text around it. Unknown names give an empty icon.
class Symbols {
public:
    Symbols() = delete;

    /// The freedesktop icon-theme name standing for `symbol`; empty when none fits.
    static QString themeName(const QString& symbol);
    /// The icon for buttons and menus: the theme's, else the bundled one in `tint`,
    /// sharp at 1×, 2× and 3× scaling.
    static QIcon icon(const QString& symbol, const QColor& tint);
    /// Always the bundled picture in `tint` (status marks whose colour matters),
    /// `side` points square at `devicePixelRatio`.
    static QPixmap tinted(const QString& symbol, int side, const QColor& tint, qreal devicePixelRatio);
    /// The application's own icon.
    static QIcon applicationIcon();
};

}
