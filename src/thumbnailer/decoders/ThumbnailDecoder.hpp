#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

namespace brightfold {

/// One family of file formats that the worker can draw a thumbnail of, on top of
/// the library made for that family. A new format is one new subclass, listed in
/// ThumbnailDecoders.cpp.
class ThumbnailDecoder {
public:
    virtual ~ThumbnailDecoder() = default;

    /// Whether this family reads files with the lower-case extension `ext`.
    virtual bool reads(const QString& ext) const = 0;
    /// Loads now what the library would otherwise load on first use (plugins,
    /// configuration), so that decoding maps no new code and writes no cache
    /// once the worker is confined.
    virtual void prepare() { }
    /// A picture of the file at `path`, upright, preferably no larger than
    /// `target` (the caller shrinks anything larger). Damaged, truncated or
    /// unsupported content gives nothing; it never throws for bad input.
    virtual std::optional<QImage> decode(const QString& path, QSize target) = 0;
};

/// `image` scaled down, keeping its aspect ratio, to fit within `target`; an image
/// that already fits is returned as it is.
QImage fitWithin(const QImage& image, QSize target);

}
