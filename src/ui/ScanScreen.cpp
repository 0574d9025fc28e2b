#include "ui/ScanScreen.hpp"

#include "ui/AdaptiveGrid.hpp"
#include "ui/Brand.hpp"
#include "workflow/ScreenTexts.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace brightfold {

namespace {
constexpr int kSymbolSide = 56;       // points
constexpr int kBarSteps = 1000;
constexpr int kPulseIntervalMs = 60;
constexpr int kPulseSteps = 40;       // one breath
constexpr int kCapsuleWidth = 96;     // points

/// One extension's count in a rounded capsule.
QLabel* capsule(const QString& ext, int64_t count, const QPalette& palette)
{
    auto* label = new QLabel(QStringLiteral("<b>%1</b>&nbsp;&nbsp;%2").arg(ext.toHtmlEscaped().toUpper()).arg(count));
    label->setAlignment(Qt::AlignCenter);
    label->setAccessibleName(QStringLiteral("%1: %2").arg(ext).arg(count));
    QColor fill = Brand::accent(palette);
    fill.setAlpha(38);
    label->setStyleSheet(QStringLiteral("QLabel { background: rgba(%1,%2,%3,%4); border-radius: 11px; padding: 3px 10px; }")
                             .arg(fill.red())
                             .arg(fill.green())
                             .arg(fill.blue())
                             .arg(fill.alpha()));
    return label;
}

}

ScanScreen::ScanScreen(AppModel& model, const QString& sourceName, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_symbol(new QLabel)
    , m_phase(Brand::paragraph({}))
    , m_bar(new QProgressBar)
    , m_progressLine(new QLabel)
    , m_speedLine(new QLabel)
    , m_found(new QLabel)
    , m_capsules(new AdaptiveGrid(kCapsuleWidth, 6))
    , m_badReads(new QWidget)
    , m_badReadsText(Brand::paragraph({}))
    , m_cancel(new QPushButton(QStringLiteral("Cancel")))
    , m_pulse(new QTimer(this))
{
    m_symbol->setFixedSize(kSymbolSide, kSymbolSide);
    m_symbol->setAlignment(Qt::AlignCenter);
    m_symbol->setAccessibleName(QStringLiteral("Scanning"));
    auto* title = Brand::paragraph(QStringLiteral("Scanning ") + sourceName);
    title->setObjectName(QStringLiteral("title"));
    title->setAlignment(Qt::AlignHCenter);
    Brand::setTextSize(title, 1.45, Brand::Weight::bold);
    m_phase->setAlignment(Qt::AlignHCenter);
    Brand::makeSecondary(m_phase);
    m_bar->setRange(0, kBarSteps);
    m_bar->setTextVisible(false);
    m_bar->setAccessibleName(QStringLiteral("Scan progress"));
    m_bar->setFixedHeight(10);
    QFont digits = m_progressLine->font();
    digits.setStyleHint(QFont::System);
    m_progressLine->setFont(digits);
    Brand::makeSecondary(m_speedLine);
    m_speedLine->setAlignment(Qt::AlignRight);
    auto* lines = new QHBoxLayout;
    lines->addWidget(m_progressLine, 1);
    lines->addWidget(m_speedLine, 1);
    Brand::setTextSize(m_found, 1.05, Brand::Weight::bold);
    m_found->setAlignment(Qt::AlignHCenter);

    auto* badRow = new QHBoxLayout(m_badReads);
    badRow->setContentsMargins(0, 0, 0, 0);
    badRow->addWidget(Brand::symbolLabel(QStringLiteral("bandage"), 16, Brand::warning(palette())), 0, Qt::AlignTop);
    badRow->addWidget(m_badReadsText, 1);

    auto* body = new QWidget;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(40, 24, 40, 16);
    column->setSpacing(10);
    column->addWidget(m_symbol, 0, Qt::AlignHCenter);
    column->addWidget(title);
    column->addWidget(m_phase);
    column->addSpacing(8);
    column->addWidget(m_bar);
    column->addLayout(lines);
    column->addSpacing(10);
    column->addWidget(m_found);
    column->addWidget(m_capsules);
    column->addWidget(m_badReads);
    column->addStretch(1);
    auto* scroll = Brand::verticalScroll(body);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(20, 8, 20, 14);
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    auto* screen = new QVBoxLayout(this);
    screen->setContentsMargins(0, 0, 0, 0);
    screen->addWidget(scroll, 1);
    screen->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, &m_model, &AppModel::cancel);
    connect(&m_model, &AppModel::progressChanged, this, &ScanScreen::showProgress);
    connect(&m_model, &AppModel::previewProgressChanged, this, &ScanScreen::showProgress);
    connect(&m_model, &AppModel::copyProgressChanged, this, &ScanScreen::showProgress);
    m_pulse->setInterval(kPulseIntervalMs);
    connect(m_pulse, &QTimer::timeout, this, &ScanScreen::pulse);
    m_pulse->start();
    pulse();
    showProgress();
}

void ScanScreen::pulse()
{
    m_pulseStep = (m_pulseStep + 1) % kPulseSteps;
    double breath = 0.5 + 0.5 * std::cos(2 * M_PI * m_pulseStep / kPulseSteps);
    QColor tint = Brand::accent(palette());
    tint.setAlphaF(0.45 + 0.55 * breath);
    m_symbol->setPixmap(Symbols::tinted(QStringLiteral("sdcard.fill"), kSymbolSide, tint, devicePixelRatioF()));
}

void ScanScreen::showProgress()
{
    if (const OptionalCopyProgress& copy = m_model.copyProgress()) {
        showCopyProgress(*copy);
        return;
    }
    const OptionalProgress& progress = m_model.progress();
    const OptionalWorkProgress& previews = m_model.previewProgress();
    m_phase->setText(scanPhaseLine(progress, previews));
    m_progressLine->setText(scanProgressLine(progress, previews));
    m_speedLine->setText(previews ? QString() : scanSpeedLine(progress));
    if (previews)
        m_bar->setValue(previews->total > 0 ? previews->done * kBarSteps / previews->total : 0);
    else
        m_bar->setValue(progress ? static_cast<int>(std::min(progress->fraction(), 1.0) * kBarSteps) : 0);

    int64_t found = progress ? progress->filesFound : 0;
    m_found->setText(filesFoundSoFar(found));
    m_capsules->clear();
    if (progress) {
        // countsByExt is a map: its order is the extensions' text order.
        for (const auto& [ext, count] : progress->countsByExt)
            m_capsules->addWidget(capsule(QString::fromStdString(ext), count, palette()));
    }
    int64_t badReads = progress ? progress->badReads : 0;
    m_badReads->setVisible(badReads > 0);
    m_badReadsText->setText(unreadableSoFarLine(badReads));
}

void ScanScreen::showCopyProgress(const ImageProgress& copy)
{
    m_phase->setText(copyPhaseLine(copy));
    m_progressLine->setText(copyProgressLine(copy));
    m_speedLine->setText(copySpeedLine(copy));
    m_bar->setValue(copy.totalBytes > 0 ? static_cast<int>(static_cast<double>(copy.bytesRead) / static_cast<double>(copy.totalBytes) * kBarSteps) : 0);
    m_found->setText(QString());
    m_capsules->clear();
    const QString unreadable = copyUnreadableLine(copy);
    m_badReads->setVisible(!unreadable.isEmpty());
    m_badReadsText->setText(unreadable);
}

}
