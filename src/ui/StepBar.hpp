#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;
class QTimer;

namespace brightfold {

/// Where the user is in the workflow: four numbered circles joined by lines,
/// "Card", "Scan", "Review", "Save". Steps before the current one show a check
/// mark, the current one is highlighted (and turns while busy), later ones are
/// dimmed; the status line stands below. A current step past the last shows
/// every step as done.
class StepBar : public QWidget {
    Q_OBJECT

public:
    explicit StepBar(QWidget* parent = nullptr);

    static const QStringList& steps();

    void setCurrent(int current);
    void setStatus(const QString& status);
    void setBusy(bool busy);

    int current() const { return m_current; }
    bool busy() const { return m_busy; }
    QString status() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateAccessibleName();
    int rowHeight() const;

    QLabel* m_status;
    QTimer* m_spin;
    int m_current { 0 };
    int m_angle { 0 };
    bool m_busy { false };
};

}
