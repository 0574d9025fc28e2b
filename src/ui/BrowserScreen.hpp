#pragma once

#include "workflow/AppStage.hpp"

#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QListView;
class QModelIndex;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace brightfold {

class AppModel;
class BrowserModel;
class ThumbnailLoader;

/// The files of a stored scan or of a folder of saved files, in a grid of
/// pictures to pick from, with the operations on the picked ones. One browser
/// model per screen, made from the browse target when the screen is built.
class BrowserScreen : public QWidget {
    Q_OBJECT

public:
    BrowserScreen(AppModel& model, const BrowseTarget& target, QWidget* parent = nullptr);
    ~BrowserScreen() override;

    BrowserModel& model() const { return *m_browser; }
    QListView* grid() const { return m_grid; }
    /// The items are loaded and no picture of a shown cell is still being drawn.
    bool isSettled() const;
    /// Selects the first `count` visible items.
    void selectFirst(int count);
    /// The larger look at the item of `row`.
    void preview(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHeader();
    void buildFooter();
    void showItems();
    /// Tells the loader which cells are on screen.
    void tellLoaderWhatShows();
    void showSelection();
    void showWork();
    void showError();
    void showFilters();
    void showContextMenu(const QPoint& at);

    AppModel& m_app;
    std::unique_ptr<BrowserModel> m_browser;
    ThumbnailLoader* m_loader;
    QLabel* m_title;
    QLabel* m_summary;
    QComboBox* m_filter;
    QStackedWidget* m_body;
    QListView* m_grid;
    QLabel* m_emptyText;
    QLabel* m_progressText;
    QProgressBar* m_progressBar;
    QLabel* m_status;
    QPushButton* m_selectAll;
    QPushButton* m_deselect;
    QPushButton* m_save;
    QPushButton* m_keepOnly { nullptr };
    bool m_showingError { false };
};

}
