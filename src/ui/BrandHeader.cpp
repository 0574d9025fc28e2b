#include "ui/BrandHeader.hpp"

#include "ui/Brand.hpp"
#include "ui/Symbols.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

namespace brightfold {

namespace {
constexpr int kIconSide = 44; // points
}

BrandHeader::BrandHeader(QWidget* parent)
    : QWidget(parent)
{
    auto* icon = new QLabel;
    icon->setPixmap(Symbols::applicationIcon().pixmap(kIconSide, kIconSide));
    icon->setFixedSize(kIconSide, kIconSide);

    auto* title = new QLabel(QStringLiteral("Brightfold Recover"));
    Brand::setTextSize(title, 1.5, Brand::Weight::bold);
    auto* subtitle = new QLabel(QStringLiteral("Get photos back from deleted, formatted or failing cards"));
    subtitle->setWordWrap(true);
    for (QLabel* label : { title, subtitle }) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::white);
        label->setPalette(palette);
    }

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(title);
    texts->addWidget(subtitle);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(20, 14, 20, 14);
    row->setSpacing(14);
    row->addWidget(icon, 0, Qt::AlignVCenter);
    row->addLayout(texts, 1);
    setAccessibleName(title->text());
}

void BrandHeader::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, Brand::accentStart());
    gradient.setColorAt(1, Brand::accentEnd());
    painter.fillRect(rect(), gradient);
}

}
