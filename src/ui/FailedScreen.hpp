#pragma once

#include <QWidget>

class QPushButton;

namespace brightfold {

class AppModel;

/// Why a scan could not start or finish, in the words of the error, and the
/// way back to the setup screen.
class FailedScreen : public QWidget {
    Q_OBJECT

public:
    FailedScreen(AppModel& model, const QString& message, QWidget* parent = nullptr);

    QPushButton* backButton() const { return m_back; }

private:
    QPushButton* m_back;
};

}
