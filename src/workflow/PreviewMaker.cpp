#include "workflow/PreviewMaker.hpp"

#include "device/DeviceError.hpp"
#include "workflow/ScanStore.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QDir>
#include <QFile>
#include <QPainter>

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kSectorBytes = 512;
const char* const kTemporaryFolder = "tmp";
const char* const kPreviewsFolder = "previews";

/// Removes the temporary copy on every way out of make().
class TemporaryCopy {
public:
    explicit TemporaryCopy(QString path) : m_path(std::move(path)) { }
    ~TemporaryCopy() { QFile::remove(m_path); }
    TemporaryCopy(const TemporaryCopy&) = delete;
    TemporaryCopy& operator=(const TemporaryCopy&) = delete;

    const QString& path() const { return m_path; }

private:
    QString m_path;
};

/// Copies the file's bytes (its runs in order, for a fragmented file) piece by
/// piece; a failing or empty read ends the copy with what was read so far, a
/// failing write is passed over.
void copyRange(const CarvedFile& file, ByteSource& source, QFile& out)
{
    for (const SourceRun& run : file.pieces()) {
        const uint64_t end = run.offset + run.length;
        uint64_t position = run.offset;
        while (position < end) {
            const uint64_t count = std::min(end - position, PreviewMaker::kCopyPieceBytes);
            std::vector<uint8_t> bytes;
            try {
                bytes = source.read(position, static_cast<int64_t>(count));
            } catch (const DeviceError&) {
                return;
            }
            if (bytes.empty())
                return;
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
            position += bytes.size();
        }
    }
}

/// JPEG has no transparency: see-through parts show white, as on a page.
QImage flattened(const QImage& image)
{
    if (!image.hasAlphaChannel())
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

QString PreviewMaker::previewPath(const QString& sessionFolder, const CarvedFile& file)
{
    return QDir(sessionFolder).filePath(QStringLiteral("%1/f%2.jpg").arg(kPreviewsFolder).arg(file.start / kSectorBytes));
}

bool PreviewMaker::make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder)
{
    return make(file, source, sessionFolder, ThumbnailService::forThisThread());
}

bool PreviewMaker::make(const CarvedFile& file, ByteSource& source, const ScanSession& session)
{
    return make(file, source, QString::fromStdString(ScanStore::folder(session).string()));
}

bool PreviewMaker::make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder, ThumbnailService& service)
{
    if (!previewable(file.category))
        return false;
    if (file.length > kLargestPreviewedBytes)
        return false;
    const QDir session(sessionFolder);
    session.mkpath(kTemporaryFolder);
    session.mkpath(kPreviewsFolder);

    TemporaryCopy copy(session.filePath(QStringLiteral("%1/%2").arg(kTemporaryFolder, QString::fromStdString(file.fileName()))));
    {
        QFile out(copy.path());
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        copyRange(file, source, out);
        out.close();
    }

    std::optional<QImage> thumbnail = service.thumbnail(copy.path(), QSize(kPreviewSide, kPreviewSide));
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
