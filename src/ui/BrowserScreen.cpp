#include "ui/BrowserScreen.hpp"

#include "ui/Brand.hpp"
#include "ui/ItemCellDelegate.hpp"
#include "ui/PreviewWindow.hpp"
#include "workflow/ThumbnailLoader.hpp"
#include "workflow/ScreenTexts.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/BrowserModel.hpp"
#include "workflow/BrowserTexts.hpp"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QScrollBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace brightfold {

namespace {

enum Page {
    loadingPage,
    emptyPage,
    gridPage,
};

constexpr int kNoFilter = -1;
constexpr int kSettleRowsChecked = 24; // rows a first screen of the grid shows at most

BrowserMode modeFor(const AppModel& app, const BrowseTarget& target)
{
    if (target.kind == BrowseTarget::Kind::folder)
        return BrowserMode::forFolder(target.folderPath);
    if (std::optional<ScanSession> finished = app.session(target.sessionId))
        return BrowserMode::forSession(std::move(*finished));
    return BrowserMode::forStoredSession(target.sessionId, app.summary(target.sessionId));
}

QString categoryText(FormatCategory category)
{
    auto name = displayName(category);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QString categorySymbol(FormatCategory category)
{
    auto name = symbolName(category);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

}

BrowserScreen::BrowserScreen(AppModel& model, const BrowseTarget& target, QWidget* parent)
    : QWidget(parent)
    , m_app(model)
    , m_browser(std::make_unique<BrowserModel>(modeFor(model, target),
          // The application model outlives every screen: the browser borrows its disks.
          std::shared_ptr<DeviceAccess>(std::shared_ptr<DeviceAccess>(), &model.devices()), model.diskImages(), model.desktop()))
    , m_loader(new ThumbnailLoader(ItemCellDelegate::kPictureSide, devicePixelRatioF(), this))
    , m_title(new QLabel)
    , m_summary(new QLabel)
    , m_filter(new QComboBox)
    , m_body(new QStackedWidget)
    , m_grid(new QListView)
    , m_emptyText(new QLabel)
    , m_progressText(new QLabel)
    , m_progressBar(new QProgressBar)
    , m_status(Brand::paragraph({}))
    , m_selectAll(new QPushButton(QStringLiteral("Select All")))
    , m_deselect(new QPushButton(QStringLiteral("Deselect")))
    , m_save(Brand::button(QStringLiteral("square.and.arrow.down"),
          target.kind == BrowseTarget::Kind::session ? QStringLiteral("Save Selected…") : QStringLiteral("Copy Selected…")))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 10, 16, 12);
    column->setSpacing(8);
    buildHeader();

    // Body: loading, nothing to show, or the grid.
    auto* loading = new QWidget;
    auto* loadingColumn = new QVBoxLayout(loading);
    auto* spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setMaximumWidth(220);
    spinner->setTextVisible(false);
    spinner->setAccessibleName(QStringLiteral("Loading"));
    loadingColumn->addStretch(1);
    loadingColumn->addWidget(spinner, 0, Qt::AlignHCenter);
    auto* reading = new QLabel(QStringLiteral("Reading recovered files…"));
    reading->setAlignment(Qt::AlignHCenter);
    loadingColumn->addWidget(reading);
    loadingColumn->addStretch(2);
    m_emptyText->setText(m_browser->emptyText());
    m_emptyText->setAlignment(Qt::AlignCenter);
    Brand::setTextSize(m_emptyText, 1.2);
    Brand::makeSecondary(m_emptyText);

    m_grid->setViewMode(QListView::IconMode);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setMovement(QListView::Static);
    m_grid->setUniformItemSizes(true);
    m_grid->setSelectionMode(QAbstractItemView::NoSelection);
    m_grid->setSpacing(4);
    m_grid->setGridSize(ItemCellDelegate::cellSize(fontMetrics()) + QSize(8, 8));
    m_grid->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_grid->setItemDelegate(new ItemCellDelegate(*m_loader, m_grid));
    m_grid->setModel(m_browser.get());
    m_grid->setContextMenuPolicy(Qt::CustomContextMenu);
    m_grid->setAccessibleName(QStringLiteral("Recovered files"));
    m_grid->setAccessibleDescription(QStringLiteral("Click or press Return to select a file, Space to preview it."));
    m_grid->installEventFilter(this);
    m_body->insertWidget(loadingPage, loading);
    m_body->insertWidget(emptyPage, m_emptyText);
    m_body->insertWidget(gridPage, m_grid);
    column->addWidget(m_body, 1);
    buildFooter();

    connect(m_grid, &QListView::clicked, this, [this](const QModelIndex& index) {
        m_browser->toggle(m_browser->visibleItem(index.row()));
    });
    connect(m_grid, &QListView::customContextMenuRequested, this, &BrowserScreen::showContextMenu);
    connect(m_loader, &ThumbnailLoader::ready, m_grid->viewport(), qOverload<>(&QWidget::update));
    // Pictures are drawn for the cells on screen only.
    connect(m_grid->verticalScrollBar(), &QScrollBar::valueChanged, this, &BrowserScreen::tellLoaderWhatShows);
    connect(m_grid->verticalScrollBar(), &QScrollBar::rangeChanged, this, &BrowserScreen::tellLoaderWhatShows);
    // Previews made after the scan's results were shown fill their cells in.
    connect(&m_app, &AppModel::previewMade, m_browser.get(), &BrowserModel::previewArrived);
    connect(m_browser.get(), &BrowserModel::isLoadingChanged, this, &BrowserScreen::showItems);
    connect(m_browser.get(), &BrowserModel::itemsChanged, this, &BrowserScreen::showItems);
    connect(m_browser.get(), &BrowserModel::filterChanged, this, &BrowserScreen::showItems);
    connect(m_browser.get(), &BrowserModel::selectedChanged, this, &BrowserScreen::showSelection);
    connect(m_browser.get(), &BrowserModel::isWorkingChanged, this, &BrowserScreen::showWork);
    connect(m_browser.get(), &BrowserModel::workProgressChanged, this, &BrowserScreen::showWork);
    connect(m_browser.get(), &BrowserModel::statusMessageChanged, this, &BrowserScreen::showWork);
    connect(m_browser.get(), &BrowserModel::errorMessageChanged, this, &BrowserScreen::showError);
    showItems();
    showWork();
}

BrowserScreen::~BrowserScreen()
{
    // The grid's delegate draws with the loader and the model: both go after the view.
    m_grid->setModel(nullptr);
}

void BrowserScreen::buildHeader()
{
    auto* back = Brand::button(QStringLiteral("chevron.left"), QStringLiteral("Back"));
    connect(back, &QPushButton::clicked, &m_app, &AppModel::exitBrowser);
    m_title->setProperty("fullText", m_browser->title());
    m_title->setText(m_browser->title());
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setAccessibleName(m_browser->title());
    m_title->setMinimumWidth(80);
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_title->installEventFilter(this);
    Brand::setTextSize(m_title, 1.2, Brand::Weight::bold);
    Brand::makeSecondary(m_summary);
    m_summary->setObjectName(QStringLiteral("summary"));

    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    texts->addWidget(m_title);
    texts->addWidget(m_summary);
    auto* show = new QLabel(QStringLiteral("Show"));
    show->setBuddy(m_filter);
    m_filter->setAccessibleName(QStringLiteral("Show"));
    m_filter->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(m_filter, &QComboBox::activated, this, [this](int index) {
        int category = m_filter->itemData(index).toInt();
        m_browser->setFilter(category == kNoFilter ? OptionalCategory {} : OptionalCategory { static_cast<FormatCategory>(category) });
    });

    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(back, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    row->addWidget(show);
    row->addWidget(m_filter);
    static_cast<QVBoxLayout*>(layout())->addLayout(row);
}

void BrowserScreen::buildFooter()
{
    m_progressBar->setMaximumWidth(140);
    m_progressBar->setTextVisible(false);
    m_progressBar->setAccessibleName(QStringLiteral("Progress"));
    m_status->setObjectName(QStringLiteral("status"));
    connect(m_selectAll, &QPushButton::clicked, m_browser.get(), &BrowserModel::selectAllVisible);
    connect(m_deselect, &QPushButton::clicked, this, [this] { m_browser->setSelected({}); });
    connect(m_save, &QPushButton::clicked, m_browser.get(), &BrowserModel::saveSelected);

    auto* row = new QHBoxLayout;
    row->addWidget(m_selectAll);
    row->addWidget(m_deselect);
    row->addStretch(1);
    row->addWidget(m_progressText);
    row->addWidget(m_progressBar);
    if (m_browser->mode().kind == BrowserMode::Kind::folder) {
        m_keepOnly = Brand::button(QStringLiteral("trash"), QStringLiteral("Keep Only Selected…"));
        connect(m_keepOnly, &QPushButton::clicked, m_browser.get(), &BrowserModel::keepOnlySelected);
        row->addWidget(m_keepOnly);
    }
    row->addWidget(m_save);
    m_save->setDefault(true);
    auto* column = static_cast<QVBoxLayout*>(layout());
    column->addWidget(m_status);
    column->addLayout(row);
}

void BrowserScreen::showItems()
{
    if (m_browser->isLoading())
        m_body->setCurrentIndex(loadingPage);
    else
        m_body->setCurrentIndex(m_browser->items().empty() ? emptyPage : gridPage);
    showFilters();
    showSelection();
}

void BrowserScreen::showFilters()
{
    QSignalBlocker quiet(m_filter);
    m_filter->clear();
    m_filter->addItem(QStringLiteral("All (%1)").arg(m_browser->items().size()), kNoFilter);
    for (FormatCategory category : m_browser->presentCategories())
        m_filter->addItem(Symbols::icon(categorySymbol(category), palette().color(QPalette::ButtonText)), categoryText(category),
            static_cast<int>(category));
    int current = m_browser->filter() ? static_cast<int>(*m_browser->filter()) : kNoFilter;
    m_filter->setCurrentIndex(std::max(0, m_filter->findData(current)));
    m_filter->setEnabled(!m_browser->items().empty());
}

void BrowserScreen::showSelection()
{
    const BrowseTarget::Kind mode = m_browser->mode().kind;
    m_summary->setText(browserSummary(mode, m_browser->selectedCount(), static_cast<int>(m_browser->items().size()),
        m_browser->selectedBytes()));
    showWork();
}

void BrowserScreen::showWork()
{
    bool working = m_browser->isWorking();
    bool chosen = m_browser->selectedCount() > 0;
    for (QPushButton* action : { m_save, m_keepOnly }) {
        if (action)
            action->setEnabled(!working && chosen);
    }
    m_selectAll->setEnabled(!m_browser->items().empty());
    m_deselect->setEnabled(chosen);
    const OptionalWorkProgress& progress = m_browser->workProgress();
    bool showProgress = working && progress;
    m_progressText->setVisible(showProgress);
    m_progressBar->setVisible(showProgress);
    if (showProgress) {
        m_progressText->setText(workProgressText(progress->done, progress->total));
        m_progressBar->setRange(0, std::max(1, progress->total));
        m_progressBar->setValue(progress->done);
    }
    m_status->setText(m_browser->statusMessage().value_or(QString()));
    m_status->setVisible(m_browser->statusMessage().has_value());
}

void BrowserScreen::showError()
{
    const OptionalMessage& message = m_browser->errorMessage();
    if (!message || m_showingError)
        return;
    m_showingError = true;
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Couldn't Save"), *message, QMessageBox::Ok, this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    connect(alert, &QMessageBox::finished, this, [this] {
        m_showingError = false;
        m_browser->setErrorMessage(std::nullopt);
    });
    alert->open();
}

void BrowserScreen::preview(int row)
{
    if (row < 0 || row >= m_browser->rowCount())
        return;
    QModelIndex index = m_browser->index(row);
    auto* window = new PreviewWindow(index.data(Qt::DisplayRole).toString(),
        BrowserModel::pictureSource(index), this);
    window->show();
}

void BrowserScreen::showContextMenu(const QPoint& at)
{
    QModelIndex index = m_grid->indexAt(at);
    if (!index.isValid())
        return;
    QColor ink = palette().color(QPalette::WindowText);
    QMenu menu;
    QAction* look = menu.addAction(Symbols::icon(QStringLiteral("photo"), ink), QStringLiteral("Preview"));
    look->setShortcut(Qt::Key_Space);
    connect(look, &QAction::triggered, this, [this, row = index.row()] { preview(row); });
    if (BrowserModel::pictureSource(index).filePath) {
        menu.addAction(Symbols::icon(QStringLiteral("folder"), ink), QStringLiteral("Show in Folder"), this,
            [this, row = index.row()] { m_browser->revealItem(row); });
        menu.addAction(QStringLiteral("Open"), this, [this, row = index.row()] { m_browser->openItem(row); });
    }
    menu.exec(m_grid->viewport()->mapToGlobal(at));
}

void BrowserScreen::tellLoaderWhatShows()
{
    QSet<QString> keys;
    const QRect shown = m_grid->viewport()->rect();
    const QSize half = m_grid->gridSize() / 2;
    QModelIndex first = m_grid->indexAt(shown.topLeft() + QPoint(half.width(), half.height()));
    QModelIndex last = m_grid->indexAt(shown.bottomRight() - QPoint(half.width(), half.height()));
    const int from = first.isValid() ? first.row() : 0;
    const int to = last.isValid() ? last.row() : m_browser->rowCount() - 1;
    for (int row = from; row <= to && row < m_browser->rowCount(); ++row)
        keys.insert(m_browser->index(row).data(BrowserModel::IdRole).toString());
    m_loader->showing(keys);
    if (m_browser->mode().kind == BrowseTarget::Kind::session)
        m_app.previewFirst(m_browser->mode().sessionId, m_browser->startsOfRows(from, to));
    // A cell whose waiting picture was dropped while it was being laid out asks again when painted.
    m_grid->viewport()->update();
}

bool BrowserScreen::isSettled() const
{
    if (m_browser->isLoading())
        return false;
    int rows = std::min(m_browser->rowCount(), kSettleRowsChecked);
    for (int row = 0; row < rows; ++row) {
        QModelIndex index = m_browser->index(row);
        QString key = index.data(BrowserModel::IdRole).toString();
        const PictureSource source = BrowserModel::pictureSource(index);
        if (!source.isEmpty() && !m_loader->picture(key, source) && !m_loader->hasNoPicture(key))
            return false;
    }
    return true;
}

void BrowserScreen::selectFirst(int count)
{
    ItemIdSet chosen;
    int rows = std::min(m_browser->rowCount(), count);
    for (int row = 0; row < rows; ++row)
        chosen.insert(m_browser->visibleItem(row).id);
    m_browser->setSelected(chosen);
}

bool BrowserScreen::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_title && event->type() == QEvent::Resize) {
        QString full = m_title->property("fullText").toString();
        m_title->setText(m_title->fontMetrics().elidedText(full, Qt::ElideMiddle, m_title->width()));
    }
    if (watched == m_grid && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        QModelIndex current = m_grid->currentIndex();
        if (key->matches(QKeySequence::SelectAll)) {
            m_browser->selectAllVisible();
            return true;
        }
        if (key->key() == Qt::Key_Space && current.isValid()) {
            preview(current.row());
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && current.isValid()) {
            m_browser->toggle(m_browser->visibleItem(current.row()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}
