#include "ui/StepBar.hpp"

#include "ui/Brand.hpp"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

namespace brightfold {

namespace {
constexpr int kCircle = 26;        // points across a step's circle
constexpr int kLabelGap = 4;       // points between circle and label
constexpr int kSideMargin = 24;    // points
constexpr int kSpinIntervalMs = 40;
constexpr int kSpinStep = 12;      // degrees per tick
}

StepBar::StepBar(QWidget* parent)
    : QWidget(parent)
    , m_status(new QLabel)
    , m_spin(new QTimer(this))
{
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_status->setObjectName(QStringLiteral("stepStatus"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kSideMargin, rowHeight() + 14, kSideMargin, 10);
    layout->addWidget(m_status);
    m_spin->setInterval(kSpinIntervalMs);
    connect(m_spin, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + kSpinStep) % 360;
        update();
    });
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    updateAccessibleName();
}

const QStringList& StepBar::steps()
{
    static const QStringList names { QStringLiteral("Card"), QStringLiteral("Scan"), QStringLiteral("Review"),
        QStringLiteral("Save") };
    return names;
}

int StepBar::rowHeight() const
{
    return 12 + kCircle + kLabelGap + fontMetrics().height();
}

void StepBar::setCurrent(int current)
{
    if (m_current == current)
        return;
    m_current = current;
    updateAccessibleName();
    update();
}

void StepBar::setStatus(const QString& status)
{
    m_status->setText(status);
    updateAccessibleName();
    updateGeometry();
}

QString StepBar::status() const
{
    return m_status->text();
}

void StepBar::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    if (busy)
        m_spin->start();
    else
        m_spin->stop();
    update();
}

void StepBar::updateAccessibleName()
{
    QString where = m_current < steps().size()
        ? QStringLiteral("Step %1 of %2: %3").arg(m_current + 1).arg(steps().size()).arg(steps().at(m_current))
        : QStringLiteral("All steps done");
    setAccessibleName(where);
    setAccessibleDescription(m_status->text());
}

QSize StepBar::sizeHint() const
{
    return { 560, layout()->totalHeightForWidth(560) };
}

QSize StepBar::minimumSizeHint() const
{
    return { 4 * (kCircle + 40), layout()->totalHeightForWidth(4 * (kCircle + 40)) };
}

void StepBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colours = palette();
    QColor accent = Brand::accent(colours);
    QColor fill = Brand::accentFill(colours);
    QColor dim = Brand::secondaryText(colours);
    QColor line = colours.color(QPalette::Mid);

    const int count = static_cast<int>(steps().size());
    const int left = kSideMargin + kCircle;
    const int span = width() - 2 * left;
    const int top = 12;
    auto centreOf = [&](int index) { return QPointF(left + span * index / double(count - 1), top + kCircle / 2.0); };

    for (int index = 0; index + 1 < count; ++index) {
        QPointF from = centreOf(index) + QPointF(kCircle / 2.0 + 6, 0);
        QPointF to = centreOf(index + 1) - QPointF(kCircle / 2.0 + 6, 0);
        painter.setPen(QPen(index < m_current ? accent : line, 2, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(from, to);
    }

    QFont labelFont = font();
    QFont numberFont = font();
    numberFont.setBold(true);
    for (int index = 0; index < count; ++index) {
        QPointF centre = centreOf(index);
        QRectF circle(centre.x() - kCircle / 2.0, centre.y() - kCircle / 2.0, kCircle, kCircle);
        bool done = index < m_current;
        bool current = index == m_current;
        if (done) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(fill);
            painter.drawEllipse(circle);
            QPainterPath tick;
            tick.moveTo(centre + QPointF(-5.5, 0.5));
            tick.lineTo(centre + QPointF(-1.5, 4.5));
            tick.lineTo(centre + QPointF(5.5, -4));
            painter.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(tick);
        } else if (current) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(fill);
            painter.drawEllipse(circle);
            painter.setPen(Qt::white);
            painter.setFont(numberFont);
            painter.drawText(circle, Qt::AlignCenter, QString::number(index + 1));
            if (m_busy) {
                // The activity indicator: an arc turning around the current step.
                painter.setPen(QPen(accent, 2.5, Qt::SolidLine, Qt::RoundCap));
                painter.setBrush(Qt::NoBrush);
                QRectF ring = circle.adjusted(-5, -5, 5, 5);
                painter.drawArc(ring, -m_angle * 16, 100 * 16);
            }
        } else {
            painter.setPen(QPen(line, 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(circle);
            painter.setPen(dim);
            painter.setFont(numberFont);
            painter.drawText(circle, Qt::AlignCenter, QString::number(index + 1));
        }
        QFont stepFont = labelFont;
        stepFont.setBold(current);
        painter.setFont(stepFont);
        painter.setPen(done || current ? colours.color(QPalette::WindowText) : dim);
        QRectF label(centre.x() - 60, circle.bottom() + kLabelGap, 120, fontMetrics().height() + 2);
        painter.drawText(label, Qt::AlignHCenter | Qt::AlignTop, steps().at(index));
    }
}

}
