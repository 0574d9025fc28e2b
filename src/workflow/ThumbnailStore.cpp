#include "workflow/ThumbnailStore.hpp"

#include "workflow/Executor.hpp"
#include "workflow/ThumbnailWorkers.hpp"

#include <QImageReader>
#include <QMutexLocker>

#include <algorithm>

namespace brightfold {

namespace {

QFuture<ThumbnailStore::Picture> ready(ThumbnailStore::Picture picture)
{
    return QtFuture::makeReadyFuture(std::move(picture));
}

}

ThumbnailStore::ThumbnailStore(Drawer drawer)
    : m_drawer(std::move(drawer))
{
}

ThumbnailStore& ThumbnailStore::shared()
{
    static ThumbnailStore store([](const QString& path, QSize target) { return ThumbnailWorkers::shared().thumbnail(path, target); });
    return store;
}

QString ThumbnailStore::keyOf(const PictureSource& source, int pixels)
{
    // A preview and the file it stands for are different pictures of the same thing.
    const QString& path = source.previewPath ? *source.previewPath : *source.filePath;
    return (source.previewPath ? QStringLiteral("preview:") : QStringLiteral("file:")) + QString::number(std::min(pixels, kMaxPixels)) + ':' + path;
}

ThumbnailStore::Picture ThumbnailStore::cached(const PictureSource& source, int pixels) const
{
    if (source.isEmpty())
        return std::nullopt;
    QMutexLocker lock(&m_mutex);
    if (const QImage* image = m_cache.object(keyOf(source, pixels)))
        return *image;
    return std::nullopt;
}

QFuture<ThumbnailStore::Picture> ThumbnailStore::picture(const PictureSource& source, int pixels)
{
    if (source.isEmpty() || pixels < 1)
        return ready(std::nullopt);
    if (Picture image = cached(source, pixels))
        return ready(std::move(image));
    pixels = std::min(pixels, kMaxPixels);
    const QString key = keyOf(source, pixels);
    QFuture<Picture> drawing = source.previewPath
        ? Executor::shared().run([path = *source.previewPath, pixels] { return readScaled(path, pixels); })
        : m_drawer(*source.filePath, QSize(pixels, pixels));
    return drawing.then([this, key](Picture image) {
        if (image && image->isNull())
            image.reset();
        if (image)
            keep(key, *image);
        return image;
    });
}

void ThumbnailStore::keep(const QString& key, const QImage& image)
{
    QMutexLocker lock(&m_mutex);
    m_cache.insert(key, new QImage(image));
}

int ThumbnailStore::count() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_cache.count());
}

ThumbnailStore::Picture ThumbnailStore::readScaled(const QString& path, int side)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > side || size.height() > side))
        reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

}
