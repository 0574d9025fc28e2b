#pragma once

#include <QWidget>

#include <vector>

namespace brightfold {

/// Lays its widgets out in as many equal columns as fit its width, each at least
/// `cellWidth` points wide, `spacing` points apart; the rows follow. Its height
/// follows from its width, so it sits in box layouts and scroll areas.
class AdaptiveGrid : public QWidget {
    Q_OBJECT

public:
    AdaptiveGrid(int cellWidth, int spacing, QWidget* parent = nullptr);

    void addWidget(QWidget* widget);
    /// Removes and deletes every widget.
    void clear();
    /// The number of columns at `width`.
    int columnsFor(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int rowHeight() const;
    void arrange();

    std::vector<QWidget*> m_widgets;
    int m_cellWidth;
    int m_spacing;
};

}
