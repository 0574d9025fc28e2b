#pragma once

#include "../RequiredCapabilities.hpp"

#include "device/ByteSource.hpp"
#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"
#include "device/DeviceAccess.hpp"
#include "scan/ScanSession.hpp"
#include "scan/ScanTestSupport.hpp"
#include "workflow/Desktop.hpp"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QFuture>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <optional>

namespace brightfold::test {

/// `size` zero bytes that take no memory: big sources for size limits. Counts its
/// reads; with Reads::fail, every read throws.
class SparseSource final : public ByteSource {
public:
    enum class Reads { succeed, fail };

    explicit SparseSource(uint64_t size, Reads reads = Reads::succeed) : m_size(size), m_reads(reads) { }

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "sparse"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        ++m_readCount;
        if (m_reads == Reads::fail)
            throw DeviceError::readFailed(offset, EIO);
        const auto count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), offset >= m_size ? 0 : m_size - offset));
        std::fill_n(buffer.begin(), count, 0);
        return count;
    }
    int reads() const { return m_readCount; }

private:
    uint64_t m_size;
    Reads m_reads;
    int m_readCount { 0 };
};

/// Writes `bytes` to `path`, making its folders.
inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

/// The files under `folder`, at any depth, as sorted relative paths.
inline QStringList filesUnder(const QString& folder)
{
    QStringList found;
    QDirIterator walk(folder, QDir::Files, QDirIterator::Subdirectories);
    while (walk.hasNext())
        found << QDir(folder).relativeFilePath(walk.next());
    found.sort();
    return found;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// `image` as a JPEG file's bytes, from Qt's own encoder.
inline QByteArray jpegBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

/// `jpeg` with an Exif segment right after its start marker holding only the
/// orientation tag (1 upright ... 6 turned a quarter clockwise ... 8).
inline QByteArray withExifOrientation(const QByteArray& jpeg, uint16_t orientation)
{
    const QByteArray tiff = QByteArray("MM\0*\0\0\0\x08", 8)       // big-endian TIFF header, IFD at 8
        + QByteArray("\0\x01", 2)                                  // one entry
        + QByteArray("\x01\x12\0\x03\0\0\0\x01", 8)                // Orientation, SHORT, count 1
        + QByteArray(1, '\0') + QByteArray(1, static_cast<char>(orientation)) + QByteArray(2, '\0')
        + QByteArray(4, '\0');                                     // no next IFD
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    const int length = static_cast<int>(body.size()) + 2;
    const QByteArray segment = QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + body;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

/// The shared real camera and phone files; empty when the folder is absent.
inline QString samplesFolder()
{
    const QString folder = qEnvironmentVariable("BRIGHTFOLD_SAMPLES_DIR", QStringLiteral(BRIGHTFOLD_SAMPLES_DIR));
    return QDir(folder).exists() ? folder : QString();
}

/// A disk image of `size` zero bytes with a small real PNG every 8 KiB, `count` times.
inline void writeCardImage(const std::string& path, int count, uint64_t size)
{
    QFile png(QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR "/images/gradient.png"));
    png.open(QIODevice::ReadOnly);
    QByteArray bytes = png.readAll();
    QFile image(QString::fromStdString(path));
    image.open(QIODevice::WriteOnly);
    image.resize(static_cast<qint64>(size));
    for (int i = 0; i < count; ++i) {
        image.seek(i * 8192);
        image.write(bytes);
    }
}

/// The desktop as a test sets it up: every choice answered at once with the
/// answer given, and a record of what was asked, revealed, opened and trashed.
/// Trashing deletes the file, except for paths listed to fail.
struct StandInDesktop final : Desktop {
    std::optional<QString> fileAnswer;
    std::optional<QString> folderAnswer;
    bool confirmAnswer { false };
    std::vector<ChooserRequest> requests;
    std::vector<Confirmation> questions;
    std::vector<QString> revealed;
    std::vector<QString> opened;
    std::set<QString> trashFails;

    QFuture<std::optional<QString>> chooseFile(const ChooserRequest& request) override
    {
        requests.push_back(request);
        return QtFuture::makeReadyFuture(fileAnswer);
    }
    QFuture<std::optional<QString>> chooseFolder(const ChooserRequest& request) override
    {
        requests.push_back(request);
        return QtFuture::makeReadyFuture(folderAnswer);
    }
    QFuture<bool> confirm(const Confirmation& question) override
    {
        questions.push_back(question);
        return QtFuture::makeReadyFuture(confirmAnswer);
    }
    void reveal(const QString& path) override { revealed.push_back(path); }
    void open(const QString& path) override { opened.push_back(path); }
    bool moveToTrash(const QString& path) override
    {
        std::lock_guard lock(m_lock); // called from a job's thread
        if (trashFails.contains(path))
            return false;
        trashed.push_back(path);
        return QFile::remove(path);
    }
    std::vector<QString> trashedPaths()
    {
        std::lock_guard lock(m_lock);
        return trashed;
    }

private:
    std::mutex m_lock;
    std::vector<QString> trashed;
};

/// Points the store at a fresh folder.
struct TemporaryStore {
    TemporaryStore() { qputenv("XDG_DATA_HOME", folder.path().toUtf8()); }
    QTemporaryDir folder;
};

}
