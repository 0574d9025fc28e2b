#include "ui/PreviewWindow.hpp"

#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

namespace brightfold {

PreviewWindow::PreviewWindow(const QString& name, const PictureSource& source, QWidget* parent)
    : QDialog(parent)
    , m_picture(new QLabel(QStringLiteral("Loading preview…")))
{
    setWindowTitle(name);
    setAttribute(Qt::WA_DeleteOnClose);
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setMinimumSize(320, 240);
    m_picture->setAccessibleName(QStringLiteral("Preview of ") + name);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_picture);
    resize(kSide, kSide * 3 / 4);

    qreal scale = devicePixelRatioF();
    ThumbnailStore::shared().picture(source, static_cast<int>(std::ceil(kSide * scale))).then(this, [this, scale](ThumbnailStore::Picture image) {
        if (!image) {
            m_picture->setText(QStringLiteral("No preview is available for this file."));
            return;
        }
        QPixmap pixmap = QPixmap::fromImage(*image);
        pixmap.setDevicePixelRatio(scale);
        m_picture->setPixmap(pixmap);
    });
}

void PreviewWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

}
