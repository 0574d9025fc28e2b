#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace brightfold {

struct ImageProgress;
class AdaptiveGrid;
class AppModel;

/// The screen while a scan runs: what is being read, how far it is, how fast,
/// what has been found so far, and the cancel button.
class ScanScreen : public QWidget {
    Q_OBJECT

public:
    ScanScreen(AppModel& model, const QString& sourceName, QWidget* parent = nullptr);

    QPushButton* cancelButton() const { return m_cancel; }

private:
    void showProgress();
    void showCopyProgress(const ImageProgress& copy);
    void pulse();

    AppModel& m_model;
    QLabel* m_symbol;
    QLabel* m_phase;
    QProgressBar* m_bar;
    QLabel* m_progressLine;
    QLabel* m_speedLine;
    QLabel* m_found;
    AdaptiveGrid* m_capsules;
    QWidget* m_badReads;
    QLabel* m_badReadsText;
    QPushButton* m_cancel;
    QTimer* m_pulse;
    int m_pulseStep { 0 };
};

}
