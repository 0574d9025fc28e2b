#include "ui/AdaptiveGrid.hpp"

#include <algorithm>

namespace brightfold {

AdaptiveGrid::AdaptiveGrid(int cellWidth, int spacing, QWidget* parent)
    : QWidget(parent)
    , m_cellWidth(cellWidth)
    , m_spacing(spacing)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void AdaptiveGrid::addWidget(QWidget* widget)
{
    widget->setParent(this);
    widget->show();
    m_widgets.push_back(widget);
    arrange();
    updateGeometry();
}

void AdaptiveGrid::clear()
{
    for (QWidget* widget : m_widgets)
        delete widget;
    m_widgets.clear();
    updateGeometry();
}

int AdaptiveGrid::columnsFor(int width) const
{
    return std::max(1, (width + m_spacing) / (m_cellWidth + m_spacing));
}

int AdaptiveGrid::rowHeight() const
{
    int height = 0;
    for (QWidget* widget : m_widgets)
        height = std::max(height, widget->sizeHint().height());
    return height;
}

int AdaptiveGrid::heightForWidth(int width) const
{
    if (m_widgets.empty())
        return 0;
    int columns = columnsFor(width);
    int rows = (static_cast<int>(m_widgets.size()) + columns - 1) / columns;
    return rows * rowHeight() + (rows - 1) * m_spacing;
}

QSize AdaptiveGrid::sizeHint() const
{
    int width = 3 * m_cellWidth + 2 * m_spacing;
    return { width, heightForWidth(width) };
}

QSize AdaptiveGrid::minimumSizeHint() const
{
    return { m_cellWidth, heightForWidth(m_cellWidth) };
}

void AdaptiveGrid::arrange()
{
    int columns = columnsFor(width());
    int cellWidth = (width() - (columns - 1) * m_spacing) / columns;
    int height = rowHeight();
    for (size_t index = 0; index < m_widgets.size(); ++index) {
        int row = static_cast<int>(index) / columns;
        int column = static_cast<int>(index) % columns;
        m_widgets[index]->setGeometry(column * (cellWidth + m_spacing), row * (height + m_spacing), cellWidth, height);
    }
}

void AdaptiveGrid::resizeEvent(QResizeEvent* event)
{
    arrange();
    QWidget::resizeEvent(event);
}

}
