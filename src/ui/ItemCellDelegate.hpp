#pragma once

#include <QStyledItemDelegate>

namespace brightfold {

class ThumbnailLoader;

/// Draws one cell of the browser's grid: the square picture (150 points a side),
/// the selection mark, the file's name and size. Painting a cell is what asks
/// for its picture, so only cells that appear cost a thumbnail.
class ItemCellDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int kPictureSide = 150; // points
    static constexpr int kPadding = 8;       // points around the picture

    explicit ItemCellDelegate(ThumbnailLoader& loader, QObject* parent = nullptr);

    /// The whole cell, text lines included.
    static QSize cellSize(const QFontMetrics& metrics);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    ThumbnailLoader& m_loader;
};

}
