#pragma once

#include <QWidget>

namespace brightfold {

/// The top of the window: the application's icon, name and promise on the
/// accent gradient, in white that reads on both of the gradient's ends.
class BrandHeader : public QWidget {
    Q_OBJECT

public:
    explicit BrandHeader(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}
