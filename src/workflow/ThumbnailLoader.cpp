#include "workflow/ThumbnailLoader.hpp"

#include <QPointer>

#include <cmath>

namespace brightfold {

ThumbnailLoader::ThumbnailLoader(int side, qreal scale, QObject* parent, ThumbnailStore& store)
    : QObject(parent)
    , m_pixels(static_cast<int>(std::ceil(side * scale)))
    , m_store(store)
{
}

// Pictures being drawn finish in the store; their answers to a loader that is gone are dropped.
ThumbnailLoader::~ThumbnailLoader() = default;

std::optional<QImage> ThumbnailLoader::picture(const QString& key, const PictureSource& source)
{
    if (auto image = m_store.cached(source, m_pixels))
        return image;
    if (source.isEmpty() || m_none.contains(key) || m_asked.contains(key))
        return std::nullopt;
    m_asked.insert(key);
    m_waiting.push_back({ key, source });
    drawNext();
    return std::nullopt;
}

void ThumbnailLoader::showing(const QSet<QString>& keys)
{
    std::erase_if(m_waiting, [&](const Waiting& waiting) {
        if (keys.contains(waiting.key))
            return false;
        m_asked.remove(waiting.key);
        return true;
    });
}

void ThumbnailLoader::drawNext()
{
    while (m_drawing < kDrawingAtOnce && !m_waiting.empty()) {
        Waiting next = std::move(m_waiting.front());
        m_waiting.pop_front();
        ++m_drawing;
        QPointer<ThumbnailLoader> self(this);
        m_store.picture(next.source, m_pixels).then(this, [self, key = next.key](ThumbnailStore::Picture image) {
            if (!self)
                return;
            --self->m_drawing;
            self->m_asked.remove(key);
            if (!image)
                self->m_none.insert(key);
            emit self->ready(key);
            self->drawNext();
        });
    }
}

}
