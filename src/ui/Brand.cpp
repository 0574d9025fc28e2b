#include "ui/Brand.hpp"

#include "ui/Symbols.hpp"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>

namespace brightfold {

QColor Brand::accentStart() { return QColor(0x2f, 0x6f, 0xed); }
QColor Brand::accentEnd() { return QColor(0x8a, 0x4c, 0xf0); }

bool Brand::isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor Brand::accent(const QPalette& palette)
{
    return isDark(palette) ? QColor(0x6f, 0x9c, 0xff) : QColor(0x25, 0x5f, 0xdd);
}

QColor Brand::accentFill(const QPalette& palette)
{
    // White reads on this blue (contrast above 4.5:1) on light and dark windows.
    return isDark(palette) ? QColor(0x2f, 0x6f, 0xed) : QColor(0x25, 0x5f, 0xdd);
}

QColor Brand::success(const QPalette& palette)
{
    return isDark(palette) ? QColor(0x4c, 0xd1, 0x6b) : QColor(0x1e, 0x8e, 0x3e);
}

QColor Brand::warning(const QPalette& palette)
{
    return isDark(palette) ? QColor(0xff, 0xb3, 0x40) : QColor(0xb8, 0x5c, 0x00);
}

QColor Brand::secondaryText(const QPalette& palette)
{
    QColor text = palette.color(QPalette::WindowText);
    QColor window = palette.color(QPalette::Window);
    // Two thirds of the way from the background to the text keeps a contrast
    // above 4.5:1 on the usual light and dark palettes.
    auto mix = [](int a, int b) { return (a + 2 * b) / 3; };
    return QColor(mix(window.red(), text.red()), mix(window.green(), text.green()), mix(window.blue(), text.blue()));
}

QColor Brand::cardFill(const QPalette& palette)
{
    QColor window = palette.color(QPalette::Window);
    return isDark(palette) ? window.lighter(125) : window.darker(104);
}

void Brand::setTextSize(QWidget* widget, double scale, Weight weight)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(weight == Weight::bold);
    widget->setFont(font);
}

void Brand::makeSecondary(QLabel* label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondaryText(palette));
    label->setPalette(palette);
}

QPushButton* Brand::button(const QString& symbol, const QString& text)
{
    auto* button = new QPushButton(text);
    button->setIcon(Symbols::icon(symbol, QApplication::palette().color(QPalette::ButtonText)));
    button->setAccessibleName(QString(text).remove(QChar(0x2026)));
    return button;
}

QLabel* Brand::symbolLabel(const QString& symbol, int side, const QColor& tint)
{
    auto* label = new QLabel;
    label->setPixmap(Symbols::tinted(symbol, side, tint, qApp->devicePixelRatio()));
    label->setFixedSize(side, side);
    return label;
}

QLabel* Brand::paragraph(const QString& text)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QScrollArea* Brand::verticalScroll(QWidget* body)
{
    auto* scroll = new QScrollArea;
    scroll->setWidget(body);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return scroll;
}

}
