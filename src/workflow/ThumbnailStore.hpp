#pragma once

#include <QCache>
#include <QFuture>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

namespace brightfold {

/// Where a picture comes from: a scan's preview JPEG, else the file itself on
/// disk (a file saved earlier), drawn by a thumbnail worker.
struct PictureSource {
    std::optional<QString> previewPath;
    std::optional<QString> filePath;

    bool isEmpty() const { return !previewPath && !filePath; }
};

/// The pictures the screens show, kept in memory for this run of the
/// application: one cache for every screen, keyed by the picture's file and its
/// size in pixels. Drawing runs off the calling thread; calls may come from any
/// thread.
class ThumbnailStore {
public:
    static constexpr int kMaxEntries = 600;
    static constexpr int kMaxPixels = 2048; // the worker's largest side

    using Picture = std::optional<QImage>;
    /// Draws a thumbnail of a file on disk no larger than a target size, or nothing.
    using Drawer = std::function<QFuture<Picture>(const QString& path, QSize target)>;

    /// A store over `drawer`; the shared store draws with the shared ThumbnailWorkers.
    explicit ThumbnailStore(Drawer drawer);
    static ThumbnailStore& shared();

    /// The cached picture of `source` at most `pixels` on its longer side, when there is one.
    Picture cached(const PictureSource& source, int pixels) const;
    /// The cached picture, else one read or drawn in the background and cached
    /// when that succeeds. Failures cache nothing, so a later call asks again.
    /// When the cache is full, the least recently used picture makes room.
    QFuture<Picture> picture(const PictureSource& source, int pixels);

    int count() const;

    /// Reads a picture file at most `side` pixels on its longer side, upright;
    /// nothing when it cannot be read.
    static Picture readScaled(const QString& path, int side);

private:
    static QString keyOf(const PictureSource& source, int pixels);
    void keep(const QString& key, const QImage& image);

    mutable QMutex m_mutex;
    mutable QCache<QString, QImage> m_cache { kMaxEntries };
    Drawer m_drawer;
};

}
