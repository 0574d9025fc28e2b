#include "ui/ItemCellDelegate.hpp"

#include "ui/Brand.hpp"
#include "ui/Symbols.hpp"
#include "workflow/BrowserModel.hpp"
#include "workflow/ThumbnailLoader.hpp"

#include <QPainter>
#include <QPainterPath>

namespace brightfold {

namespace {

constexpr int kMarkSide = 24;    // points
constexpr double kCorner = 8;    // points
constexpr int kGenericSide = 48; // points: the symbol of a file without a picture

}

ItemCellDelegate::ItemCellDelegate(ThumbnailLoader& loader, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_loader(loader)
{
}

QSize ItemCellDelegate::cellSize(const QFontMetrics& metrics)
{
    return { kPictureSide + 2 * kPadding, kPictureSide + 2 * kPadding + 2 * metrics.height() + 4 };
}

QSize ItemCellDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    return cellSize(option.fontMetrics);
}

void ItemCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const QPalette& colours = option.palette;
    QColor accent = Brand::accent(colours);
    bool selected = index.data(BrowserModel::SelectedRole).toBool();
    bool current = option.state.testFlag(QStyle::State_HasFocus);
    QRect cell = option.rect;

    // The square, with the selection's tint and ring.
    QRectF square(cell.left() + kPadding, cell.top() + kPadding, kPictureSide, kPictureSide);
    QPainterPath rounded;
    rounded.addRoundedRect(square, kCorner, kCorner);
    painter->fillPath(rounded, Brand::cardFill(colours));

    QString key = index.data(BrowserModel::IdRole).toString();
    std::optional<QImage> picture = m_loader.picture(key, BrowserModel::pictureSource(index));
    if (picture) {
        QSizeF shown = QSizeF(picture->size()).scaled(square.size(), Qt::KeepAspectRatio);
        QRectF target(square.center() - QPointF(shown.width() / 2, shown.height() / 2), shown);
        painter->save();
        painter->setClipPath(rounded);
        painter->drawImage(target, *picture);
        painter->restore();
    } else {
        // No picture (yet): the kind of file and its extension.
        QPixmap symbol = Symbols::tinted(index.data(BrowserModel::SymbolRole).toString(), kGenericSide,
            Brand::secondaryText(colours), painter->device()->devicePixelRatioF());
        QPointF at = square.center() - QPointF(kGenericSide / 2.0, kGenericSide / 2.0 + 10);
        painter->drawPixmap(at, symbol);
        QFont bold = option.font;
        bold.setBold(true);
        painter->setFont(bold);
        painter->setPen(Brand::secondaryText(colours));
        QRectF extLine(square.left(), at.y() + kGenericSide + 4, square.width(), option.fontMetrics.height());
        painter->drawText(extLine, Qt::AlignCenter, index.data(BrowserModel::BadgeRole).toString());
    }
    if (selected || current) {
        painter->setPen(QPen(selected ? accent : colours.color(QPalette::Highlight), selected ? 3 : 1.5,
            current && !selected ? Qt::DashLine : Qt::SolidLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(square.adjusted(-1.5, -1.5, 1.5, 1.5), kCorner + 1, kCorner + 1);
    }

    // The mark: filled when selected, an empty ring otherwise, on a disc that
    // keeps it visible over any picture.
    QRectF mark(square.right() - kMarkSide - 6, square.top() + 6, kMarkSide, kMarkSide);
    painter->setPen(Qt::NoPen);
    painter->setBrush(selected ? QColor(Qt::white) : QColor(0, 0, 0, 70));
    painter->drawEllipse(mark.adjusted(1, 1, -1, -1));
    qreal ratio = painter->device()->devicePixelRatioF();
    painter->drawPixmap(mark.topLeft(),
        selected ? Symbols::tinted(QStringLiteral("checkmark.circle.fill"), kMarkSide, accent, ratio)
                 : Symbols::tinted(QStringLiteral("circle"), kMarkSide, Qt::white, ratio));

    // Name and size.
    int textTop = static_cast<int>(square.bottom()) + 4;
    QRect nameLine(cell.left() + 2, textTop, cell.width() - 4, option.fontMetrics.height());
    QRect sizeLine = nameLine.translated(0, option.fontMetrics.height());
    painter->setFont(option.font);
    painter->setPen(colours.color(QPalette::Text));
    painter->drawText(nameLine, Qt::AlignHCenter | Qt::AlignTop,
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, nameLine.width()));
    painter->setPen(Brand::secondaryText(colours));
    painter->drawText(sizeLine, Qt::AlignHCenter | Qt::AlignTop, index.data(BrowserModel::SizeTextRole).toString());
    painter->restore();
}

}
