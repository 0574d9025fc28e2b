#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QLabel;
class QPushButton;
class QScrollArea;
class QWidget;

namespace brightfold {

/// The application's colours and type sizes, worked out from the palette in use
/// so that they read well on light and dark windows alike.
class Brand {
public:
    Brand() = delete;

    /// The two ends of the accent gradient of the header; white text reads on both.
    static QColor accentStart();
    static QColor accentEnd();
    /// The accent for marks on the window's background (step bar, check marks).
    static QColor accent(const QPalette& palette);
    /// The fill of accent shapes that carry white marks or numbers (step circles).
    static QColor accentFill(const QPalette& palette);
    /// Green of a completed or successful thing.
    static QColor success(const QPalette& palette);
    /// Orange of a warning.
    static QColor warning(const QPalette& palette);
    /// Text of secondary importance: the window text, faded.
    static QColor secondaryText(const QPalette& palette);
    /// A faint fill for cards and capsules, a shade off the window colour.
    static QColor cardFill(const QPalette& palette);
    static bool isDark(const QPalette& palette);

    /// The widget's font `scale` times the base size, bold when asked.
    enum class Weight { regular, bold };
    static void setTextSize(QWidget* widget, double scale, Weight weight = Weight::regular);
    /// `label` drawn in the secondary text colour.
    static void makeSecondary(QLabel* label);
    /// A push button with a symbol before its text; the text is also its accessible name.
    static QPushButton* button(const QString& symbol, const QString& text);
    /// A label holding `symbol` alone, `side` points square, in `tint`.
    static QLabel* symbolLabel(const QString& symbol, int side, const QColor& tint);
    /// A word-wrapped label for running text.
    static QLabel* paragraph(const QString& text);
    /// A screen's body in a frameless area that scrolls up and down only, so a
    /// small window keeps its buttons in view below it.
    static QScrollArea* verticalScroll(QWidget* body);
};

}
