#pragma once

#include <QMainWindow>

class QAction;
class QVBoxLayout;

namespace brightfold {

class AppModel;
class AppUpdater;
class StepBar;
struct AppSettings;

/// The application's one window: the brand header, the step bar and the screen
/// of the model's stage, rebuilt whenever the stage changes. The launch actions
/// run when it is first shown; its size is remembered between runs.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kMinimumContentWidth = 660;  // points
    static constexpr int kMinimumContentHeight = 600; // points
    static constexpr int kDefaultWidth = 900;         // points
    static constexpr int kDefaultHeight = 960;        // points

    MainWindow(AppModel& model, AppUpdater& updater, const AppSettings& settings, QWidget* parent = nullptr);

    StepBar* stepBar() const { return m_stepBar; }
    /// The screen of the current stage.
    QWidget* screen() const { return m_screen; }
    QAction* checkForUpdatesAction() const { return m_checkForUpdates; }

signals:
    /// A new stage screen is in place.
    void screenChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    /// Return and Enter press the screen's default button when the control
    /// with the focus has no use for them.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildMenus();
    void showStage();
    void showStep();
    QWidget* makeScreen();

    AppModel& m_model;
    AppUpdater& m_updater;
    const AppSettings& m_settings;
    StepBar* m_stepBar;
    QVBoxLayout* m_stageArea;
    QWidget* m_screen { nullptr };
    bool m_closingAfterWork { false }; ///< the user chose to stop a save and quit
    QAction* m_checkForUpdates { nullptr };
    bool m_launched { false };
};

}
