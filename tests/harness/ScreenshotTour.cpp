#include "ScreenshotTour.hpp"

#include "ui/BrowserScreen.hpp"
#include "workflow/BrowserModel.hpp"
#include "ui/MainWindow.hpp"
#include "workflow/AppModel.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QStyleFactory>
#include <QTextStream>

#include <cstdio>

namespace brightfold {

namespace {

constexpr int kPollMs = 100;
constexpr int kStopDeadlineMs = 60'000; // a scan with previews of the sample image takes seconds
constexpr int kSettleMs = 600;          // lets animations and queued paints finish

QString optionValue(const QStringList& arguments, const QString& name)
{
    int at = static_cast<int>(arguments.indexOf(name));
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
}

QPalette darkPalette()
{
    QPalette palette;
    QColor window(0x2b, 0x2b, 0x2e), base(0x1e, 0x1e, 0x20), text(0xee, 0xee, 0xee);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window.lighter(115));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window.lighter(120));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x7b, 0xf2));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Light, window.lighter(160));
    palette.setColor(QPalette::Midlight, window.lighter(130));
    palette.setColor(QPalette::Mid, window.lighter(170));
    palette.setColor(QPalette::Dark, window.darker(150));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Link, QColor(0x6f, 0x9c, 0xff));
    for (auto role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return palette;
}

}

std::optional<ScreenshotTour::Options> ScreenshotTour::optionsFrom(const QStringList& arguments)
{
    QString folder = optionValue(arguments, QStringLiteral("--screenshot-tour"));
    if (folder.isEmpty())
        return std::nullopt;
    Options options;
    options.folder = folder;
    options.image = optionValue(arguments, QStringLiteral("--tour-image"));
    options.savedFolder = optionValue(arguments, QStringLiteral("--tour-folder"));
    options.prefix = optionValue(arguments, QStringLiteral("--tour-prefix"));
    options.dark = optionValue(arguments, QStringLiteral("--tour-palette")) == QLatin1String("dark");
    options.minimum = optionValue(arguments, QStringLiteral("--tour-size")) == QLatin1String("minimum");
    return options;
}

void ScreenshotTour::preparePalette(const Options& options)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(options.dark ? darkPalette() : QApplication::style()->standardPalette());
}

ScreenshotTour::ScreenshotTour(Options options, AppModel& model, MainWindow& window)
    : m_options(std::move(options))
    , m_model(model)
    , m_window(window)
{
    QDir().mkpath(m_options.folder);
    // The default size is the one the window opens at on this screen.
    if (m_options.minimum)
        m_window.resize(m_window.minimumSizeHint());
    // The scanning screen is caught at its first snapshot, before the scan is
    // over, once every screen has taken the snapshot in.
    auto catchScan = [this] {
        if (m_scanShot || !(m_model.progress() || m_model.previewProgress()))
            return;
        m_scanShot = true;
        QTimer::singleShot(0, this, [this] {
            if (m_model.stage().kind == AppStage::Kind::scanning)
                shoot(QStringLiteral("2-scanning"));
            else
                m_scanShot = false;
        });
    };
    connect(&m_model, &AppModel::progressChanged, this, catchScan);
    connect(&m_model, &AppModel::previewProgressChanged, this, catchScan);
    plan();
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &ScreenshotTour::poll);
    m_timer.start();
}

void ScreenshotTour::plan()
{
    auto stageIs = [this](AppStage::Kind kind) { return m_model.stage().kind == kind; };
    m_stops = {
        { QStringLiteral("the disks are listed"), [this] { return !m_model.isRefreshing(); },
            [this] { m_model.setSource(AppSource { ImageFile { m_options.image } }); } },
        { QStringLiteral("setup"), [] { return true; }, [this] { shoot(QStringLiteral("1-setup")); } },
        { QStringLiteral("start"), [] { return true; }, [this] { m_model.start(); } },
        { QStringLiteral("the scan's result"), [=] { return stageIs(AppStage::Kind::done); },
            [this] { shoot(QStringLiteral("3-done")); } },
    };
    auto browser = [this] { return qobject_cast<BrowserScreen*>(m_window.screen()); };
    m_stops.insert(m_stops.end(), {
        { QStringLiteral("browse the scan"), [] { return true; },
            [this] { m_model.enterBrowser(BrowseTarget::session(m_model.stage().session->id)); } },
        { QStringLiteral("the scan's files and previews"), [=] { return browser() && browser()->isSettled(); },
            [=] {
                browser()->selectFirst(3);
            } },
        { QStringLiteral("browser"), [] { return true; }, [this] { shoot(QStringLiteral("4-browser")); } },
        { QStringLiteral("back to the result"), [] { return true; }, [this] { m_model.exitBrowser(); } },
        { QStringLiteral("browse the saved folder"), [=] { return stageIs(AppStage::Kind::done); },
            [this] { m_model.enterBrowser(BrowseTarget::folder(m_options.savedFolder)); } },
        { QStringLiteral("the saved files and thumbnails"), [=] { return browser() && browser()->isSettled(); },
            [=] {
                browser()->selectFirst(2);
                browser()->model().keepOnlySelected();
            } },
        { QStringLiteral("trash confirmation"), [] { return true; },
            [this] {
                shoot(QStringLiteral("5-trash-confirmation"));
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    if (auto* dialog = qobject_cast<QDialog*>(top); dialog && dialog->isVisible())
                        dialog->reject();
                }
            } },
        { QStringLiteral("back from the folder"), [] { return true; }, [this] { m_model.exitBrowser(); } },
        { QStringLiteral("back to setup"), [] { return true; }, [this] { m_model.returnToSetup(); } },
        { QStringLiteral("a card to copy first"), [this] { return !m_model.isRefreshing(); },
            [this] {
                m_model.setSource(AppSource { ExternalDisk { "sdz", "SD Card Reader", 64'000'000'000, { "EOS_DIGITAL" } } });
                m_model.setCopyFirst(true);
            } },
        { QStringLiteral("setup, copying first"), [] { return true; },
            [this] {
                shoot(QStringLiteral("7-setup-copy-first"));
                m_model.setCopyFirst(false);
            } },
    });
    m_stops.insert(m_stops.end(), {
        { QStringLiteral("a scan that cannot start"), [] { return true; },
            [this] {
                m_model.returnToSetup();
                m_model.setSource(AppSource { ImageFile { m_options.folder + QStringLiteral("/missing-card.img") } });
                m_model.start();
            } },
        { QStringLiteral("failed"), [=] { return stageIs(AppStage::Kind::failed); },
            [this] { shoot(QStringLiteral("6-failed")); } },
        { QStringLiteral("the end"), [] { return true; }, [] { QApplication::exit(0); } },
    });
}

void ScreenshotTour::poll()
{
    if (m_next >= m_stops.size())
        return;
    Stop& stop = m_stops[m_next];
    m_waitedMs += kPollMs;
    if (m_waitedMs < kSettleMs)
        return;
    if (!stop.ready()) {
        if (m_waitedMs > kStopDeadlineMs) {
            std::fprintf(stderr, "screenshot tour: gave up waiting for %s\n", qPrintable(stop.name));
            shoot(QStringLiteral("timeout"));
            QApplication::exit(1);
        }
        return;
    }
    ++m_next;
    m_waitedMs = 0;
    stop.action();
}

void ScreenshotTour::shoot(const QString& name)
{
    QString base = m_options.folder + QLatin1Char('/') + m_options.prefix + name;
    // Lay out what changed since the last event loop turn, as a paint would.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QPixmap picture = m_window.grab();
    // Dialogs are windows of their own: draw them where they stand over the window.
    QPainter painter(&picture);
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top == &m_window || !top->isVisible() || !qobject_cast<QDialog*>(top))
            continue;
        QPoint at = top->frameGeometry().topLeft() - m_window.geometry().topLeft();
        QPixmap dialog = top->grab();
        painter.fillRect(QRect(at, dialog.size() / dialog.devicePixelRatio()).adjusted(-1, -1, 1, 1), Qt::darkGray);
        painter.drawPixmap(at, dialog);
    }
    painter.end();
    picture.save(base + QStringLiteral(".png"));
    QFile texts(base + QStringLiteral(".txt"));
    if (texts.open(QIODevice::WriteOnly | QIODevice::Truncate))
        texts.write(textsOnScreen().toUtf8());
    std::fprintf(stderr, "screenshot tour: %s.png\n", qPrintable(base));
}

QString ScreenshotTour::textsOnScreen() const
{
    QString all;
    QTextStream out(&all);
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        for (QWidget* widget : top->findChildren<QWidget*>()) {
            if (!widget->isVisibleTo(top))
                continue;
            if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty())
                out << label->text() << '\n';
            else if (auto* button = qobject_cast<QAbstractButton*>(widget); button && !button->text().isEmpty())
                out << '[' << button->text() << (button->isEnabled() ? "" : " (disabled)") << "]\n";
        }
    }
    return all;
}

}
