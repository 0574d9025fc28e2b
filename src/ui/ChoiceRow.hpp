#pragma once

#include <QAbstractButton>

namespace brightfold {

/// One choice in a list, such as a card: a symbol, a name with a detail line,
/// and a round mark that is filled when the row is the chosen one. Clicking or
/// pressing Space emits clicked(); the owner decides what is chosen.
class ChoiceRow : public QAbstractButton {
    Q_OBJECT

public:
    ChoiceRow(const QString& symbol, const QString& name, const QString& detail, QWidget* parent = nullptr);

    void setChosen(bool chosen);
    bool isChosen() const { return m_chosen; }
    QString name() const { return text(); }
    QString detail() const { return m_detail; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString m_symbol;
    QString m_detail;
    bool m_chosen { false };
    bool m_hovered { false };
};

}
