#include "ui/ThumbnailLoader.hpp"

#include "workflow/ThumbnailStore.hpp"

#include <QImageReader>
#include <QMetaObject>
#include <QPointer>

#include <cmath>

namespace brightfold {

namespace {
// The thumbnail worker serves one file at a time per thread; two threads keep
// the grid filling while one file is slow.
constexpr int kDrawingThreads = 2;
}

ThumbnailLoader::ThumbnailLoader(int side, qreal scale, QObject* parent)
    : QObject(parent)
    , m_side(side)
    , m_scale(scale)
{
    m_pool.setMaxThreadCount(kDrawingThreads);
}

ThumbnailLoader::~ThumbnailLoader()
{
    // Pictures not yet started are dropped; the ones being drawn are waited for.
    m_pool.clear();
    m_pool.waitForDone();
}

std::optional<QImage> ThumbnailLoader::readScaled(const QString& path, int side)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.isValid() && (size.width() > side || size.height() > side))
        reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

std::optional<QImage> ThumbnailLoader::picture(const QString& key, const std::optional<QString>& previewPath,
    const std::optional<QString>& filePath)
{
    if (QImage* cached = m_pictures.object(key))
        return *cached;
    if (m_none.contains(key) || m_pending.contains(key))
        return std::nullopt;
    if (!previewPath && !filePath) {
        m_none.insert(key);
        return std::nullopt;
    }
    m_pending.insert(key);
    int pixels = static_cast<int>(std::ceil(m_side * m_scale));
    QPointer<ThumbnailLoader> self(this);
    m_pool.start([self, key, previewPath, filePath, pixels, side = m_side, scale = m_scale] {
        std::optional<QImage> image = previewPath ? readScaled(*previewPath, pixels)
                                                  : ThumbnailStore::shared().thumbnail(*filePath, side, scale);
        QMetaObject::invokeMethod(
            self, [self, key, image] {
                if (self)
                    self->deliver(key, image);
            },
            Qt::QueuedConnection);
    });
    return std::nullopt;
}

void ThumbnailLoader::deliver(const QString& key, const std::optional<QImage>& image)
{
    m_pending.remove(key);
    if (image)
        m_pictures.insert(key, new QImage(*image));
    else
        m_none.insert(key);
    emit ready(key);
}

}
