#include "ui/PreviewWindow.hpp"

#include "ui/ThumbnailLoader.hpp"
#include "workflow/ThumbnailStore.hpp"

#include <QFutureWatcher>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace brightfold {

PreviewWindow::PreviewWindow(const QString& name, const std::optional<QString>& previewPath,
    const std::optional<QString>& filePath, QWidget* parent)
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
    auto* watcher = new QFutureWatcher<std::optional<QImage>>(this);
    connect(watcher, &QFutureWatcher<std::optional<QImage>>::finished, this, [this, watcher, scale] {
        std::optional<QImage> image = watcher->result();
        if (!image) {
            m_picture->setText(QStringLiteral("No preview is available for this file."));
            return;
        }
        QPixmap pixmap = QPixmap::fromImage(*image);
        pixmap.setDevicePixelRatio(scale);
        m_picture->setPixmap(pixmap);
    });
    watcher->setFuture(QtConcurrent::run([previewPath, filePath, scale]() -> std::optional<QImage> {
        if (previewPath)
            return ThumbnailLoader::readScaled(*previewPath, static_cast<int>(kSide * scale));
        if (filePath)
            return ThumbnailStore::shared().thumbnail(*filePath, kSide, scale);
        return std::nullopt;
    }));
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
