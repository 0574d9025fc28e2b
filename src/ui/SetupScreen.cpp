#include "ui/SetupScreen.hpp"

#include "ui/AdaptiveGrid.hpp"
#include "ui/Brand.hpp"
#include "ui/ChoiceRow.hpp"
#include "workflow/ScreenTexts.hpp"
#include "ui/Section.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace brightfold {

namespace {

constexpr int kRecentScansShown = 5;
constexpr int kCategoryCellWidth = 150; // points
constexpr int kCategorySpacing = 8;     // points

/// Empties a list of rows. The rows go later, not at once: the one clicked may
/// be what asked for the new list.
void clearLayout(QVBoxLayout* layout)
{
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}


}

SetupScreen::SetupScreen(AppModel& model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_cards(new Section(QStringLiteral("sdcard"), QStringLiteral("Card to scan")))
    , m_cardRows(new QVBoxLayout)
    , m_kinds(new Section(QStringLiteral("photo.on.rectangle"), QStringLiteral("What to recover")))
    , m_recent(new Section(QStringLiteral("clock.arrow.circlepath"), QStringLiteral("Recent scans")))
    , m_recentRows(new QVBoxLayout)
    , m_unmount(new QCheckBox(QStringLiteral("Unmount the card before scanning (recommended)")))
    , m_copyFirst(new QCheckBox(QStringLiteral("Copy the card to this computer first")))
    , m_copyRow(new QWidget)
    , m_copyFolder(new QLabel)
    , m_warning(new QWidget)
    , m_warningText(new QLabel)
    , m_accessNote(Brand::paragraph(QStringLiteral(
          "The card is opened read-only. The system will ask for your password to allow raw access to it.")))
    , m_start(Brand::button(QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("Start Recovery")))
{
    // Card to scan
    m_cardRows->setSpacing(6);
    m_cards->content()->addLayout(m_cardRows);
    auto* refresh = Brand::button(QStringLiteral("arrow.clockwise"), QStringLiteral("Refresh"));
    auto* image = Brand::button(QStringLiteral("doc"), QStringLiteral("Use a Disk Image File…"));
    auto* cardButtons = new QHBoxLayout;
    cardButtons->addWidget(refresh);
    cardButtons->addWidget(image);
    cardButtons->addStretch(1);
    m_cards->content()->addLayout(cardButtons);
    auto* advice = Brand::paragraph(QStringLiteral(
        "Stop using the card as soon as possible. Every new photo or file written to it can overwrite the data you want back."));
    Brand::makeSecondary(advice);
    m_cards->content()->addWidget(advice);
    connect(refresh, &QPushButton::clicked, &m_model, &AppModel::refreshDisks);
    connect(image, &QPushButton::clicked, &m_model, &AppModel::chooseImageFile);

    // What to recover
    auto* grid = new AdaptiveGrid(kCategoryCellWidth, kCategorySpacing);
    for (FormatCategory category : kAllFormatCategories) {
        auto* box = new QCheckBox(QString::fromUtf8(displayName(category).data(), qsizetype(displayName(category).size())));
        box->setIcon(Symbols::icon(QString::fromUtf8(symbolName(category).data(), qsizetype(symbolName(category).size())),
            palette().color(QPalette::WindowText)));
        grid->addWidget(box);
        m_categoryBoxes.emplace_back(box, static_cast<int>(category));
        connect(box, &QCheckBox::toggled, this, [this, category](bool on) { m_model.setCategoryEnabled(category, on); });
    }
    m_kinds->content()->addWidget(grid);
    auto* formats = Brand::paragraph(formatsLine());
    Brand::makeSecondary(formats);
    m_kinds->content()->addWidget(formats);

    // Recent scans
    m_recentRows->setSpacing(6);
    m_recent->content()->addLayout(m_recentRows);
    auto* sameCard = Brand::paragraph(QStringLiteral("Saving files from an earlier scan needs the same card inserted."));
    Brand::makeSecondary(sameCard);
    m_recent->content()->addWidget(sameCard);

    auto* column = new QWidget;
    auto* sections = new QVBoxLayout(column);
    sections->setContentsMargins(20, 14, 20, 14);
    sections->setSpacing(14);
    sections->addWidget(m_cards);
    sections->addWidget(m_kinds);
    sections->addWidget(m_recent);
    sections->addStretch(1);
    auto* scroll = Brand::verticalScroll(column);

    // Footer, always in view below the sections.
    auto* warningRow = new QHBoxLayout(m_warning);
    warningRow->setContentsMargins(0, 0, 0, 0);
    warningRow->addWidget(Brand::symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 16, Brand::warning(palette())));
    m_warningText->setWordWrap(true);
    QPalette warningColours = m_warningText->palette();
    warningColours.setColor(QPalette::WindowText, Brand::warning(palette()));
    m_warningText->setPalette(warningColours);
    warningRow->addWidget(m_warningText, 1);
    Brand::makeSecondary(m_accessNote);
    auto* open = Brand::button(QStringLiteral("folder"), QStringLiteral("Open Saved Files…"));
    m_start->setDefault(true);
    m_start->setAutoDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(open);
    buttons->addStretch(1);
    buttons->addWidget(m_start);
    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(20, 8, 20, 14);
    footer->setSpacing(6);
    footer->addWidget(m_unmount);
    footer->addWidget(m_copyFirst);
    footer->addWidget(m_copyRow);
    footer->addWidget(m_warning);
    footer->addWidget(m_accessNote);
    footer->addLayout(buttons);
    connect(open, &QPushButton::clicked, &m_model, &AppModel::browsePreviousRecovery);
    connect(m_start, &QPushButton::clicked, &m_model, &AppModel::start);
    connect(m_unmount, &QCheckBox::toggled, &m_model, &AppModel::setUnmountFirst);
    // For a failing card: it is read once, into a copy that the scan and the save then read.
    m_copyFirst->setToolTip(QStringLiteral("For a card that may be failing: every part of it is read once, into an image file on this "
                                           "computer, and the scan and saving then read that copy."));
    auto* copyLine = new QHBoxLayout(m_copyRow);
    copyLine->setContentsMargins(24, 0, 0, 0);
    Brand::makeSecondary(m_copyFolder);
    m_copyFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* changeFolder = new QPushButton(QStringLiteral("Change…"));
    copyLine->addWidget(m_copyFolder, 1);
    copyLine->addWidget(changeFolder);
    connect(m_copyFirst, &QCheckBox::toggled, &m_model, &AppModel::setCopyFirst);
    connect(changeFolder, &QPushButton::clicked, &m_model, &AppModel::chooseCopyFolder);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    auto* screen = new QVBoxLayout(this);
    screen->setContentsMargins(0, 0, 0, 0);
    screen->setSpacing(0);
    screen->addWidget(scroll, 1);
    screen->addWidget(divider);
    screen->addLayout(footer);

    connect(&m_model, &AppModel::disksChanged, this, &SetupScreen::showDisks);
    connect(&m_model, &AppModel::isRefreshingChanged, this, &SetupScreen::showDisks);
    connect(&m_model, &AppModel::sourceChanged, this, &SetupScreen::showDisks);
    connect(&m_model, &AppModel::sourceChanged, this, &SetupScreen::showFooter);
    connect(&m_model, &AppModel::enabledCategoriesChanged, this, &SetupScreen::showCategories);
    connect(&m_model, &AppModel::unmountFirstChanged, this, &SetupScreen::showFooter);
    connect(&m_model, &AppModel::copyFirstChanged, this, &SetupScreen::showFooter);
    connect(&m_model, &AppModel::copyFolderChanged, this, &SetupScreen::showFooter);
    connect(&m_model, &AppModel::setupWarningChanged, this, &SetupScreen::showFooter);
    connect(&m_model, &AppModel::recentScansChanged, this, &SetupScreen::showRecentScans);
    showDisks();
    showCategories();
    showRecentScans();
    showFooter();
}

void SetupScreen::showDisks()
{
    clearLayout(m_cardRows);
    const OptionalSource& source = m_model.source();
    const auto* chosenDisk = source ? std::get_if<ExternalDisk>(&source->value) : nullptr;
    for (const ExternalDisk& disk : m_model.disks()) {
        QString detail = QString::fromStdString(disk.sizeDescription()) + QStringLiteral(" · ")
            + QString::fromStdString(disk.rawDevicePath());
        auto* row = new ChoiceRow(QStringLiteral("sdcard"), QString::fromStdString(disk.displayName()), detail);
        row->setChosen(chosenDisk && chosenDisk->deviceIdentifier == disk.deviceIdentifier);
        connect(row, &ChoiceRow::clicked, this, [this, disk] { m_model.setSource(AppSource { disk }); });
        m_cardRows->addWidget(row);
    }
    if (const auto* image = source ? std::get_if<ImageFile>(&source->value) : nullptr) {
        QFileInfo file(image->path);
        auto* row = new ChoiceRow(QStringLiteral("doc"), file.fileName(), file.absolutePath());
        row->setChosen(true);
        m_cardRows->addWidget(row);
    } else if (m_model.disks().empty()) {
        auto* line = new QWidget;
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 4, 0, 4);
        if (m_model.isRefreshing()) {
            layout->addWidget(Brand::paragraph(QStringLiteral("Looking for cards…")), 1);
        } else {
            layout->addWidget(Brand::symbolLabel(QStringLiteral("questionmark.circle"), 18, Brand::secondaryText(palette())),
                0, Qt::AlignTop);
            layout->addWidget(Brand::paragraph(QStringLiteral(
                                  "No cards found. Insert the card (in this computer's SD slot or a card reader) and click Refresh.")),
                1);
        }
        m_cardRows->addWidget(line);
    }
    m_cards->setComplete(source.has_value());
}

void SetupScreen::showCategories()
{
    const CategorySet& enabled = m_model.enabledCategories();
    for (auto& [box, category] : m_categoryBoxes) {
        QSignalBlocker quiet(box);
        box->setChecked(enabled.contains(static_cast<FormatCategory>(category)));
    }
    m_kinds->setComplete(!enabled.empty());
}

void SetupScreen::showRecentScans()
{
    clearLayout(m_recentRows);
    const SessionList& sessions = m_model.recentScans();
    m_recent->setVisible(!sessions.empty());
    int shown = std::min(static_cast<int>(sessions.size()), kRecentScansShown);
    for (int index = 0; index < shown; ++index) {
        const ScanSummary& session = sessions[static_cast<size_t>(index)];
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* name = new QLabel(QString::fromStdString(session.sourceName));
        Brand::setTextSize(name, 1.0, Brand::Weight::bold);
        auto* detail = new QLabel(recentScanDetail(session));
        Brand::makeSecondary(detail);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(0);
        texts->addWidget(name);
        texts->addWidget(detail);
        auto* open = new QPushButton(QStringLiteral("Open"));
        open->setAccessibleName(QStringLiteral("Open ") + name->text());
        layout->addLayout(texts, 1);
        layout->addWidget(open);
        row->setContextMenuPolicy(Qt::CustomContextMenu);
        SessionId id = session.id;
        connect(open, &QPushButton::clicked, this, [this, id] { m_model.enterBrowser(BrowseTarget::session(id)); });
        connect(row, &QWidget::customContextMenuRequested, this, [this, row, id](const QPoint& at) {
            QMenu menu;
            QAction* remove = menu.addAction(Symbols::icon(QStringLiteral("trash"), palette().color(QPalette::WindowText)),
                QStringLiteral("Delete Scan"));
            if (menu.exec(row->mapToGlobal(at)) == remove)
                m_model.deleteScan(id);
        });
        m_recentRows->addWidget(row);
    }
}

void SetupScreen::showFooter()
{
    const OptionalSource& source = m_model.source();
    bool disk = source && std::holds_alternative<ExternalDisk>(source->value);
    {
        QSignalBlocker quiet(m_unmount);
        m_unmount->setChecked(m_model.unmountFirst());
    }
    m_unmount->setVisible(disk);
    {
        QSignalBlocker quiet(m_copyFirst);
        m_copyFirst->setChecked(m_model.copyFirst());
    }
    m_copyFirst->setVisible(disk);
    m_copyRow->setVisible(disk && m_model.copyFirst());
    m_copyFolder->setText(QStringLiteral("Into %1").arg(m_model.copyFolder()));
    m_accessNote->setVisible(disk);
    m_warning->setVisible(m_model.setupWarning().has_value());
    m_warningText->setText(m_model.setupWarning().value_or(QString()));
    m_start->setEnabled(source.has_value());
}

}
