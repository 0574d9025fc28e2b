#pragma once

#include "PreviewFamily.hpp"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

namespace brightfold {

/// What a decoder reads: a file's bytes handed over in memory, or a file on
/// disk by its path (files saved earlier, which may be larger than the worker
/// would hold in memory).
struct ThumbnailInput {
    QByteArray bytes; // a view of the handed bytes, valid for the decode
    QString path;     // set for a file on disk

    static ThumbnailInput inMemory(const QByteArray& bytes) { return { bytes, {} }; }
    static ThumbnailInput onDisk(const QString& path) { return { {}, path }; }
    bool isOnDisk() const { return !path.isEmpty(); }
};

/// Which picture of a file a decoder draws.
enum class PictureChoice {
    /// The smallest that serves: a picture the file embeds when its longer side
    /// reaches the enough side, the full picture decoded at a reduced scale
    /// where the format allows it, a video's nearest key frame alone.
    smallest,
    /// The full picture at full size, scaled down afterwards: what the smallest
    /// one must look like.
    full,
};

/// What a decoder is asked for.
struct DecodeTarget {
    QSize size;          // the largest picture wanted
    int enoughSide { 0 }; // the longer side at which an embedded picture serves
    PictureChoice choice { PictureChoice::smallest };
};

/// One family of file formats that the worker can draw a thumbnail of, on top of
/// the library made for that family. A new format is one new subclass, listed in
/// Thumbnailer.cpp.
class ThumbnailDecoder {
public:
    virtual ~ThumbnailDecoder() = default;

    virtual PreviewFamily family() const = 0;
    /// Loads now what the library would otherwise load on first use (plugins,
    /// configuration), so that decoding maps no new code and writes no cache
    /// once the worker is confined.
    virtual void prepare() { }
    /// A picture of the input, upright, preferably no larger than the target
    /// (the caller shrinks anything larger). Damaged, truncated or unsupported
    /// content gives nothing; it never throws for bad input.
    virtual std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) = 0;
};

/// `image` scaled down, keeping its aspect ratio, to fit within `target`; an image
/// that already fits is returned as it is.
QImage fitWithin(const QImage& image, QSize target);

/// Whether a picture of `size` embedded in a file serves for `target`: its
/// longer side reaches the enough side (or the target's longer side when none
/// was given).
bool servesAsPreview(QSize size, const DecodeTarget& target);

}
