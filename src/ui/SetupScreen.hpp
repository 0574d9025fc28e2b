#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace brightfold {

class AppModel;
class Section;

/// The first screen: which card (or disk-image file) to scan, which kinds of
/// files to look for, the stored scans to reopen, and the start button. It
/// only shows the model's state and calls its operations.
class SetupScreen : public QWidget {
    Q_OBJECT

public:
    explicit SetupScreen(AppModel& model, QWidget* parent = nullptr);

    /// The default button, for Return.
    QPushButton* startButton() const { return m_start; }

private:
    void showDisks();
    void showCategories();
    void showRecentScans();
    void showFooter();

    AppModel& m_model;
    Section* m_cards;
    QVBoxLayout* m_cardRows;
    Section* m_kinds;
    std::vector<std::pair<QCheckBox*, int>> m_categoryBoxes;
    Section* m_recent;
    QVBoxLayout* m_recentRows;
    QCheckBox* m_unmount;
    QCheckBox* m_copyFirst;
    QWidget* m_copyRow;
    QLabel* m_copyFolder;
    QWidget* m_warning;
    QLabel* m_warningText;
    QLabel* m_accessNote;
    QPushButton* m_start;
};

}
