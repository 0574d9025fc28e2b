#include "workflow/ThumbnailStore.hpp"

#include "workflow/ThumbnailService.hpp"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

namespace brightfold {

namespace {

constexpr double kMaxPixels = 2048; // the worker's largest side

}

ThumbnailStore::ThumbnailStore(Drawer drawer)
    : m_drawer(std::move(drawer))
{
}

ThumbnailStore& ThumbnailStore::shared()
{
    static ThumbnailStore store([](const QString& path, QSize target) {
        return ThumbnailService::forThisThread().thumbnail(path, target);
    });
    return store;
}

std::optional<QImage> ThumbnailStore::thumbnail(const QString& path, double side, double scale)
{
    {
        QMutexLocker lock(&m_mutex);
        auto found = m_cache.constFind(path);
        if (found != m_cache.constEnd())
            return found.value();
    }
    const double pixels = side * scale;
    if (!(pixels >= 1))
        return std::nullopt;
    const int target = static_cast<int>(std::ceil(std::min(pixels, kMaxPixels)));
    std::optional<QImage> image = m_drawer(path, QSize(target, target));
    if (!image || image->isNull())
        return std::nullopt;

    QMutexLocker lock(&m_mutex);
    if (!m_cache.contains(path) && m_cache.size() >= kMaxEntries)
        m_cache.erase(m_cache.begin());
    m_cache.insert(path, *image);
    return image;
}

int ThumbnailStore::count() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_cache.size());
}

}
