#pragma once

#include <QWidget>

class QPushButton;

namespace brightfold {

class AppModel;
struct ScanSession;

/// The result of a finished (or stopped) scan: what was found, per extension,
/// and the way on to choosing files or back to another card.
class DoneScreen : public QWidget {
    Q_OBJECT

public:
    DoneScreen(AppModel& model, const ScanSession& session, QWidget* parent = nullptr);

    /// "Choose Files to Save" when files were found, else "Scan Another Card".
    QPushButton* defaultButton() const { return m_default; }

private:
    QPushButton* m_default { nullptr };
};

}
