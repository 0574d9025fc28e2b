#pragma once

#include "device/ByteSource.hpp"
#include "device/DeviceError.hpp"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>

#include <algorithm>
#include <cstring>

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

}
