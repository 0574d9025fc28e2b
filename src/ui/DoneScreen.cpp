#include "ui/DoneScreen.hpp"

#include "ui/Brand.hpp"
#include "workflow/ScreenTexts.hpp"
#include "workflow/AppModel.hpp"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace brightfold {

namespace {
constexpr int kSymbolSide = 56; // points

QColor symbolColour(const CarveReport& report, const QPalette& palette)
{
    if (report.cancelled)
        return Brand::warning(palette);
    return report.files.empty() ? Brand::secondaryText(palette) : Brand::success(palette);
}

/// The per-extension table in a rounded card.
QFrame* extensionTable(const CarveReport& report)
{
    auto* table = new QFrame;
    table->setObjectName(QStringLiteral("extensions"));
    table->setFrameShape(QFrame::StyledPanel);
    table->setAccessibleName(QStringLiteral("Files found by type"));
    auto* grid = new QGridLayout(table);
    grid->setContentsMargins(14, 8, 14, 8);
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(4);
    int row = 0;
    for (const ExtensionRow& line : extensionRows(report)) {
        auto* ext = new QLabel(line.ext);
        Brand::setTextSize(ext, 1.0, Brand::Weight::bold);
        auto* count = new QLabel(line.count);
        auto* bytes = new QLabel(line.bytes);
        Brand::makeSecondary(bytes);
        bytes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(ext, row, 0);
        grid->addWidget(count, row, 1);
        grid->addWidget(bytes, row, 2);
        ++row;
    }
    grid->setColumnStretch(1, 1);
    return table;
}

}

DoneScreen::DoneScreen(AppModel& model, const ScanSession& session, QWidget* parent)
    : QWidget(parent)
{
    const CarveReport& report = session.report;
    auto* symbol = Brand::symbolLabel(doneSymbol(report), kSymbolSide, symbolColour(report, palette()));
    auto* title = Brand::paragraph(doneTitle(report));
    title->setObjectName(QStringLiteral("title"));
    title->setAlignment(Qt::AlignHCenter);
    Brand::setTextSize(title, 1.45, Brand::Weight::bold);
    auto* subtitle = Brand::paragraph(doneSubtitle(report));
    subtitle->setAlignment(Qt::AlignHCenter);
    Brand::makeSecondary(subtitle);

    auto* body = new QWidget;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(40, 24, 40, 16);
    column->setSpacing(10);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    column->addWidget(title);
    column->addWidget(subtitle);
    if (QString listed = listedFilesLine(report); !listed.isEmpty()) {
        auto* line = Brand::paragraph(listed);
        line->setAlignment(Qt::AlignHCenter);
        Brand::makeSecondary(line);
        column->addWidget(line);
    }
    if (!report.files.empty()) {
        column->addSpacing(6);
        auto* centred = new QHBoxLayout;
        centred->addStretch(1);
        centred->addWidget(extensionTable(report), 4);
        centred->addStretch(1);
        column->addLayout(centred);
    }
    if (report.badReads > 0) {
        auto* bad = new QHBoxLayout;
        bad->addWidget(Brand::symbolLabel(QStringLiteral("bandage"), 16, Brand::warning(palette())), 0, Qt::AlignTop);
        auto* words = new QVBoxLayout;
        words->addWidget(Brand::paragraph(unreadableRegionsLine(report.badReads)));
        if (QString advice = unreadableAdvice(report, !offersCopyFirst(session)); !advice.isEmpty())
            words->addWidget(Brand::paragraph(advice));
        bad->addLayout(words, 1);
        column->addLayout(bad);
    }
    column->addStretch(1);
    auto* scroll = Brand::verticalScroll(body);

    auto* another = new QPushButton(QStringLiteral("Scan Another Card"));
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(20, 8, 20, 14);
    buttons->addStretch(1);
    buttons->addWidget(another);
    m_default = another;
    connect(another, &QPushButton::clicked, &model, &AppModel::returnToSetup);
    if (offersCopyFirst(session)) {
        auto* copyFirst = new QPushButton(QStringLiteral("Copy the Card First and Scan Again"));
        buttons->addWidget(copyFirst);
        connect(copyFirst, &QPushButton::clicked, &model, &AppModel::copyCardFirstNextTime);
    }
    if (!report.files.empty()) {
        auto* choose = Brand::button(QStringLiteral("square.grid.2x2"), QStringLiteral("Choose Files to Save"));
        buttons->addWidget(choose);
        m_default = choose;
        SessionId id = session.id;
        connect(choose, &QPushButton::clicked, &model, [&model, id] { model.enterBrowser(BrowseTarget::session(id)); });
    }
    buttons->addStretch(1);
    m_default->setDefault(true);

    auto* screen = new QVBoxLayout(this);
    screen->setContentsMargins(0, 0, 0, 0);
    screen->addWidget(scroll, 1);
    screen->addLayout(buttons);
}

}
