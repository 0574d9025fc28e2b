#include "ui/Section.hpp"

#include "ui/Brand.hpp"
#include "ui/Symbols.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace brightfold {

namespace {
constexpr int kSymbolSide = 18; // points
constexpr double kCornerRadius = 10;
}

Section::Section(const QString& symbol, const QString& title, QWidget* parent)
    : QFrame(parent)
    , m_symbol(symbol)
    , m_icon(new QLabel)
    , m_title(new QLabel(title))
    , m_mark(new QLabel)
    , m_content(new QVBoxLayout)
{
    Brand::setTextSize(m_title, 1.1, Brand::Weight::bold);
    m_mark->setAccessibleName(QStringLiteral("Done"));
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(m_icon);
    header->addWidget(m_title);
    header->addStretch(1);
    header->addWidget(m_mark);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 12, 16, 14);
    column->setSpacing(10);
    column->addLayout(header);
    column->addLayout(m_content);
    m_content->setSpacing(8);
    setAccessibleName(title);
    updateSymbols();
}

QString Section::title() const
{
    return m_title->text();
}

void Section::setComplete(bool complete)
{
    m_complete = complete;
    updateSymbols();
}

void Section::updateSymbols()
{
    qreal ratio = devicePixelRatioF();
    m_icon->setPixmap(Symbols::tinted(m_symbol, kSymbolSide, Brand::accent(palette()), ratio));
    m_mark->setPixmap(m_complete ? Symbols::tinted(QStringLiteral("checkmark.circle.fill"), kSymbolSide, Brand::success(palette()), ratio)
                                 : QPixmap());
    m_mark->setVisible(m_complete);
}

void Section::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        updateSymbols();
    QFrame::changeEvent(event);
}

void Section::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 0.6));
    painter.setBrush(Brand::cardFill(palette()));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
}

}
