#include "ui/MainWindow.hpp"

#include "ui/AppUpdater.hpp"
#include "ui/BrandHeader.hpp"
#include "ui/BrowserScreen.hpp"
#include "ui/DoneScreen.hpp"
#include "ui/FailedScreen.hpp"
#include "ui/LaunchActions.hpp"
#include "ui/ScanScreen.hpp"
#include "ui/SetupScreen.hpp"
#include "ui/StepBar.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/BrowserModel.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

namespace brightfold {

namespace {

const QString kGeometryKey = QStringLiteral("MainWindow/geometry");

QSettings windowSettings()
{
    return QSettings(QString::fromLatin1(AppSettings::kOrganisation), QString::fromLatin1(AppSettings::kApplication));
}


}

MainWindow::MainWindow(AppModel& model, AppUpdater& updater, const AppSettings& settings, QWidget* parent)
    : QMainWindow(parent)
    , m_model(model)
    , m_updater(updater)
    , m_settings(settings)
    , m_stepBar(new StepBar)
    , m_stageArea(new QVBoxLayout)
{
    setWindowTitle(QStringLiteral("Brightfold Recover"));
    setWindowIcon(Symbols::applicationIcon());
    auto* content = new QWidget;
    content->setMinimumSize(kMinimumContentWidth, kMinimumContentHeight);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new BrandHeader);
    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);
    column->addWidget(m_stepBar);
    auto* below = new QFrame;
    below->setFrameShape(QFrame::HLine);
    below->setFrameShadow(QFrame::Sunken);
    column->addWidget(below);
    m_stageArea->setContentsMargins(0, 0, 0, 0);
    column->addLayout(m_stageArea, 1);
    setCentralWidget(content);
    buildMenus();

    // Tall enough for a review of a few dozen kinds of file without scrolling,
    // where the screen has the room.
    QSize size(kDefaultWidth, kDefaultHeight);
    if (const QScreen* shown = QWidget::screen())
        size = size.boundedTo(shown->availableGeometry().size() * 0.9).expandedTo(QSize(kMinimumContentWidth, kMinimumContentHeight));
    resize(size);
    restoreGeometry(windowSettings().value(kGeometryKey).toByteArray());

    connect(&m_model, &AppModel::stageChanged, this, &MainWindow::showStage);
    connect(&m_model, &AppModel::stepChanged, this, &MainWindow::showStep);
    connect(&m_model, &AppModel::stepStatusChanged, this, &MainWindow::showStep);
    connect(&m_model, &AppModel::previewProgressChanged, this, &MainWindow::showStep);
    connect(&m_model, &AppModel::alertRequested, this, [this](const QString& title, const QString& message) {
        auto* alert = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::Ok, this);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->open();
    });
    showStage();
}

void MainWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* image = file->addAction(QStringLiteral("Use a Disk Image File…"), &m_model, &AppModel::chooseImageFile);
    QAction* open = file->addAction(QStringLiteral("Open Saved Files…"), &m_model, &AppModel::browsePreviousRecovery);
    open->setShortcut(QKeySequence::Open);
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence::Quit);
    // Choosing a source or a folder belongs to the setup screen.
    auto onSetup = [this, image, open] {
        bool setup = m_model.stage().kind == AppStage::Kind::setup;
        image->setEnabled(setup);
        open->setEnabled(setup);
    };
    connect(&m_model, &AppModel::stageChanged, this, onSetup);
    onSetup();

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("About Brightfold Recover"), this, [this] {
        QMessageBox::about(this, QStringLiteral("About Brightfold Recover"),
            QStringLiteral("<b>Brightfold Recover %1</b><p>Gets photos, videos and other files back from deleted, "
                           "formatted or failing memory cards. The card is only ever read.</p>")
                .arg(QApplication::applicationVersion()));
    });
    m_checkForUpdates = help->addAction(QStringLiteral("Check for Updates…"), &m_updater, &AppUpdater::checkForUpdates);
    m_checkForUpdates->setEnabled(m_updater.canCheckForUpdates());
    connect(&m_updater, &AppUpdater::canCheckForUpdatesChanged, this,
        [this] { m_checkForUpdates->setEnabled(m_updater.canCheckForUpdates()); });
}

QWidget* MainWindow::makeScreen()
{
    const AppStage& stage = m_model.stage();
    switch (stage.kind) {
    case AppStage::Kind::setup:
        return new SetupScreen(m_model);
    case AppStage::Kind::scanning:
        return new ScanScreen(m_model, stage.sourceName);
    case AppStage::Kind::done:
        return new DoneScreen(m_model, *stage.session);
    case AppStage::Kind::failed:
        return new FailedScreen(m_model, stage.message);
    case AppStage::Kind::browsing:
        return new BrowserScreen(m_model, *stage.target);
    }
    return new QWidget;
}

void MainWindow::showStage()
{
    if (m_screen) {
        m_stageArea->removeWidget(m_screen);
        m_screen->hide();
        m_screen->deleteLater();
    }
    m_screen = makeScreen();
    m_stageArea->addWidget(m_screen);
    // A layout shows a widget added to a visible window only later, from the event loop:
    // show it now, so that it takes the focus below and is there for whoever looks next.
    m_screen->show();
    // Return presses the screen's default button.
    for (auto* button : m_screen->findChildren<QPushButton*>()) {
        if (button->isDefault() && button->isEnabled()) {
            button->setFocus();
            break;
        }
    }
    showStep();
    emit screenChanged();
}

void MainWindow::showStep()
{
    m_stepBar->setCurrent(m_model.step());
    m_stepBar->setStatus(m_model.stepStatus());
    m_stepBar->setBusy(m_model.stage().kind == AppStage::Kind::scanning);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_launched)
        return;
    m_launched = true;
    QTimer::singleShot(0, this, [this] { runLaunchActions(m_model, m_settings); });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Quitting in the middle of a save would leave the user guessing what was saved: ask, then stop cleanly.
    auto* browser = qobject_cast<BrowserScreen*>(m_screen);
    if (browser && browser->model().isWorking() && !m_closingAfterWork) {
        event->ignore();
        auto* question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Stop saving?"),
            QStringLiteral("Stop saving?"), QMessageBox::NoButton, this);
        question->setInformativeText(
            QStringLiteral("The file being written now is removed. The files saved before it are complete and stay where they are."));
        QPushButton* stop = question->addButton(QStringLiteral("Stop Saving"), QMessageBox::DestructiveRole);
        question->addButton(QStringLiteral("Keep Saving"), QMessageBox::RejectRole);
        question->setAttribute(Qt::WA_DeleteOnClose);
        connect(question, &QMessageBox::finished, this, [this, question, stop, browser] {
            if (question->clickedButton() != stop || m_screen != browser)
                return;
            m_closingAfterWork = true;
            connect(&browser->model(), &BrowserModel::workFinished, this, &QWidget::close, Qt::QueuedConnection);
            browser->model().stopWork();
        });
        question->open();
        return;
    }
    QSettings settings = windowSettings();
    settings.setValue(kGeometryKey, saveGeometry());
    QMainWindow::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && m_screen) {
        for (auto* button : m_screen->findChildren<QPushButton*>()) {
            if (button->isDefault() && button->isEnabled() && button->isVisibleTo(this)) {
                button->animateClick();
                return;
            }
        }
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::changeEvent(QEvent* event)
{
    // The screens fix some colours when they are built; a new system palette
    // (light to dark) builds the current one again.
    if (event->type() == QEvent::ApplicationPaletteChange && m_screen
        && m_model.stage().kind != AppStage::Kind::browsing)
        showStage();
    QMainWindow::changeEvent(event);
}

}
