#pragma once

#include <QFrame>

class QLabel;
class QVBoxLayout;

namespace brightfold {

/// A titled group on the setup screen: symbol and title, a check mark once the
/// user has done what the group asks, and its content below.
class Section : public QFrame {
    Q_OBJECT

public:
    Section(const QString& symbol, const QString& title, QWidget* parent = nullptr);

    QVBoxLayout* content() const { return m_content; }
    void setComplete(bool complete);
    bool isComplete() const { return m_complete; }
    QString title() const;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void updateSymbols();

    QString m_symbol;
    QLabel* m_icon;
    QLabel* m_title;
    QLabel* m_mark;
    QVBoxLayout* m_content;
    bool m_complete { false };
};

}
