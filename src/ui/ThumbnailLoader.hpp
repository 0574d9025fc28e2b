#pragma once

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>

#include <optional>

namespace brightfold {

/// The grid's pictures, drawn off the interface thread: a scan's preview JPEG
/// read at the cell's size, else a thumbnail of the file on disk from the
/// shared ThumbnailStore. A cell asks when it is painted; the picture comes
/// later through ready(). Files without a picture are remembered as such, so
/// they are not asked for again.
class ThumbnailLoader : public QObject {
    Q_OBJECT

public:
    static constexpr int kCachedPictures = 400;

    /// Pictures of `side` points at `scale` pixels per point.
    ThumbnailLoader(int side, qreal scale, QObject* parent = nullptr);
    ~ThumbnailLoader() override;

    /// The picture for `key` when it is ready; otherwise starts drawing it from
    /// `previewPath` (when given) or `filePath` and returns nothing.
    std::optional<QImage> picture(const QString& key, const std::optional<QString>& previewPath,
        const std::optional<QString>& filePath);
    /// True when `key` was drawn and has no picture.
    bool hasNoPicture(const QString& key) const { return m_none.contains(key); }
    /// Pictures still being drawn.
    int pending() const { return static_cast<int>(m_pending.size()); }

    /// Reads a picture file at most `side` pixels on its longer side; nothing
    /// when it cannot be read.
    static std::optional<QImage> readScaled(const QString& path, int side);

signals:
    void ready(const QString& key);

private:
    void deliver(const QString& key, const std::optional<QImage>& image);

    int m_side;
    qreal m_scale;
    QCache<QString, QImage> m_pictures { kCachedPictures };
    QSet<QString> m_none;
    QSet<QString> m_pending;
    QThreadPool m_pool;
};

}
