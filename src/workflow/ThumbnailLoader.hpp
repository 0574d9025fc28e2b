#pragma once

#include "workflow/ThumbnailStore.hpp"

#include <QObject>
#include <QSet>
#include <QString>

#include <deque>
#include <optional>

namespace brightfold {

/// The grid's pictures, drawn off the interface thread from the shared
/// ThumbnailStore at one size. A cell asks when it is painted; the picture comes
/// later through ready(). The screen says which cells it shows: pictures asked
/// for by cells scrolled away are not drawn (they are asked again when shown).
/// Files whose picture could not be drawn are remembered as such, so they are
/// not asked for again; a cell without a source (a preview not made yet) is
/// asked for when it has one.
///
/// Lives on the interface thread; every call is made there.
class ThumbnailLoader : public QObject {
    Q_OBJECT

public:
    /// Pictures being drawn at once.
    static constexpr int kDrawingAtOnce = 2;

    /// Pictures of `side` points at `scale` pixels per point, from `store`.
    ThumbnailLoader(int side, qreal scale, QObject* parent = nullptr, ThumbnailStore& store = ThumbnailStore::shared());
    ~ThumbnailLoader() override;

    /// The picture for `key` when it is ready; otherwise starts drawing it from
    /// `source` and returns nothing.
    std::optional<QImage> picture(const QString& key, const PictureSource& source);
    /// True when drawing `key` gave no picture.
    bool hasNoPicture(const QString& key) const { return m_none.contains(key); }
    /// Pictures asked for and not drawn yet.
    int pending() const { return static_cast<int>(m_waiting.size()) + m_drawing; }

    /// The keys of the cells on screen; waiting pictures of any other are dropped.
    void showing(const QSet<QString>& keys);

signals:
    void ready(const QString& key);

private:
    struct Waiting {
        QString key;
        PictureSource source;
    };

    void drawNext();

    int m_pixels;
    ThumbnailStore& m_store;
    QSet<QString> m_none;
    QSet<QString> m_asked; // waiting or being drawn
    std::deque<Waiting> m_waiting;
    int m_drawing { 0 };
};

}
