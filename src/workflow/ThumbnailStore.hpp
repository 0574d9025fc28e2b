#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

namespace brightfold {

/// Thumbnails of ordinary files on disk (files saved earlier and browsed in their
/// folder), kept in memory for this run of the application. Calls may come from
/// any thread: the cache is touched by one call at a time, and the drawing itself
/// runs outside the lock, so two calls for the same file may both draw it (the
/// later result then replaces the earlier).
class ThumbnailStore {
public:
    static constexpr int kMaxEntries = 600;

    /// Draws a thumbnail of a file no larger than a target size, or nothing.
    using Drawer = std::function<std::optional<QImage>(const QString& path, QSize target)>;

    /// A store over `drawer`; the shared store draws with the calling thread's
    /// ThumbnailService.
    explicit ThumbnailStore(Drawer drawer);
    static ThumbnailStore& shared();

    /// The cached thumbnail of `path` when there is one; else one drawn at
    /// `side` × `side` points at display `scale`, cached when drawing succeeds.
    /// Failures cache nothing, so a later call asks again. When the cache is full,
    /// the entry first in the cache's own order makes room (not the oldest, nor
    /// the least recently used).
    std::optional<QImage> thumbnail(const QString& path, double side, double scale);

    int count() const;

private:
    mutable QMutex m_mutex;
    QHash<QString, QImage> m_cache;
    Drawer m_drawer;
};

}
