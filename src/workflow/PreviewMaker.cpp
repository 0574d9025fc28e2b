#include "workflow/PreviewMaker.hpp"

#include "device/DeviceError.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kSectorBytes = 512;
const char* const kPreviewsFolder = "previews";

/// The file's bytes from `offset` on (its runs in order, for a fragmented
/// file), at most one piece, straight from the source; a failing or empty read
/// ends the file with what was read so far.
std::vector<uint8_t> bytesAt(const std::vector<SourceRun>& runs, ByteSource& source, uint64_t offset)
{
    for (const SourceRun& run : runs) {
        if (offset >= run.length) {
            offset -= run.length;
            continue;
        }
        const uint64_t count = std::min(run.length - offset, PreviewMaker::kCopyPieceBytes);
        try {
            return source.read(run.offset + offset, static_cast<int64_t>(count));
        } catch (const DeviceError&) {
            return {};
        }
    }
    return {};
}

/// Whether no pixel lets anything show through. The worker's pictures always
/// carry an alpha channel, most of them fully opaque.
bool isOpaque(const QImage& image)
{
    if (!image.hasAlphaChannel())
        return true;
    if (image.format() != QImage::Format_RGBA8888)
        return false;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            if (row[x * 4 + 3] != 0xFF) // R, G, B, A
                return false;
        }
    }
    return true;
}

/// JPEG has no transparency: see-through parts show white, as on a page.
QImage flattened(const QImage& image)
{
    if (isOpaque(image))
        return image;
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    return flat;
}

}

bool PreviewMaker::previewable(FormatCategory category)
{
    switch (category) {
    case FormatCategory::photos:
    case FormatCategory::rawPhotos:
    case FormatCategory::video:
    case FormatCategory::documents:
        return true;
    case FormatCategory::audio:
    case FormatCategory::archives:
        return false;
    }
    return false;
}

bool PreviewMaker::previewable(const CarvedFile& file)
{
    return previewable(file.category) && file.length <= kLargestPreviewedBytes;
}

QString PreviewMaker::previewPath(const QString& sessionFolder, const CarvedFile& file)
{
    return QDir(sessionFolder).filePath(QStringLiteral("%1/f%2.jpg").arg(kPreviewsFolder).arg(file.start / kSectorBytes));
}

std::optional<QString> PreviewMaker::existingPreview(const QString& sessionFolder, const CarvedFile& file)
{
    QString path = previewPath(sessionFolder, file);
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}

bool PreviewMaker::make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder, ThumbnailService& service)
{
    if (!previewable(file))
        return false;
    // A session folder removed meanwhile (the scan deleted) is not made again.
    QDir folder(sessionFolder);
    if (!folder.exists() || !folder.mkpath(kPreviewsFolder))
        return false;

    const std::vector<SourceRun> runs = file.pieces();
    std::optional<QImage> thumbnail = service.thumbnail(QString::fromStdString(file.ext), file.length,
        [&](uint64_t offset) { return bytesAt(runs, source, offset); }, QSize(kPreviewSide, kPreviewSide), kEnoughSide);
    if (!thumbnail)
        return false;
    const QString previewFile = previewPath(sessionFolder, file);
    if (flattened(*thumbnail).save(previewFile, "JPEG", kJpegQuality))
        return true;
    // A half-written preview would be shown as if it were one.
    QFile::remove(previewFile);
    return false;
}

}
