#include "ui/ChoiceRow.hpp"

#include "ui/Brand.hpp"
#include "ui/Symbols.hpp"

#include <QPainter>

namespace brightfold {

namespace {
constexpr int kSymbolSide = 22; // points
constexpr int kMarkSide = 18;   // points
constexpr int kPadding = 10;    // points
}

ChoiceRow::ChoiceRow(const QString& symbol, const QString& name, const QString& detail, QWidget* parent)
    : QAbstractButton(parent)
    , m_symbol(symbol)
    , m_detail(detail)
{
    setText(name);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(name);
    setAccessibleDescription(detail);
}

void ChoiceRow::setChosen(bool chosen)
{
    m_chosen = chosen;
    setAccessibleDescription(chosen ? m_detail + QStringLiteral(", chosen") : m_detail);
    update();
}

QSize ChoiceRow::sizeHint() const
{
    return { 320, 2 * kPadding + 2 * fontMetrics().height() + 2 };
}

void ChoiceRow::enterEvent(QEnterEvent* event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ChoiceRow::leaveEvent(QEvent* event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void ChoiceRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colours = palette();
    QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill = colours.color(QPalette::Base);
    if (m_chosen) {
        QColor tint = Brand::accent(colours);
        tint.setAlpha(40);
        fill = tint;
    } else if (m_hovered) {
        fill = colours.color(QPalette::AlternateBase);
    }
    painter.setPen(QPen(m_chosen ? Brand::accent(colours) : colours.color(QPalette::Mid), hasFocus() ? 2 : 0.8));
    painter.setBrush(fill);
    painter.drawRoundedRect(frame, 8, 8);

    qreal ratio = devicePixelRatioF();
    int middle = height() / 2;
    painter.drawPixmap(kPadding, middle - kSymbolSide / 2,
        Symbols::tinted(m_symbol, kSymbolSide, colours.color(QPalette::WindowText), ratio));
    QString mark = m_chosen ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle");
    QColor markColour = m_chosen ? Brand::accent(colours) : Brand::secondaryText(colours);
    int markLeft = width() - kPadding - kMarkSide;
    painter.drawPixmap(markLeft, middle - kMarkSide / 2, Symbols::tinted(mark, kMarkSide, markColour, ratio));

    int textLeft = kPadding + kSymbolSide + 10;
    int textWidth = markLeft - 10 - textLeft;
    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.setPen(colours.color(QPalette::WindowText));
    int lineHeight = fontMetrics().height();
    painter.drawText(QRect(textLeft, middle - lineHeight, textWidth, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(bold).elidedText(text(), Qt::ElideMiddle, textWidth));
    painter.setFont(font());
    painter.setPen(Brand::secondaryText(colours));
    painter.drawText(QRect(textLeft, middle, textWidth, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
        fontMetrics().elidedText(m_detail, Qt::ElideMiddle, textWidth));
}

}
