#include "WorkflowTestSupport.hpp"

#include "device/MemorySource.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QTemporaryDir>
#include <QTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

CarvedFile carved(uint64_t start, uint64_t length, std::string ext, FormatCategory category)
{
    CarvedFile file;
    file.start = start;
    file.length = length;
    file.ext = std::move(ext);
    file.category = category;
    return file;
}

/// `bytes` as found at `start` of an otherwise empty card image.
MemorySource cardWith(const QByteArray& bytes, uint64_t start)
{
    std::vector<uint8_t> image(start + static_cast<uint64_t>(bytes.size()) + 4096, 0);
    std::memcpy(image.data() + start, bytes.constData(), static_cast<size_t>(bytes.size()));
    return MemorySource(std::move(image));
}

bool isEmptyFolder(const QString& path)
{
    return QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

}

class PreviewMakerTest : public QObject {
    Q_OBJECT

private slots:
    void categoriesWithoutPreviewsTouchNothing_data()
    {
        QTest::addColumn<FormatCategory>("category");
        QTest::newRow("audio") << FormatCategory::audio;
        QTest::newRow("archives") << FormatCategory::archives;
    }
    void categoriesWithoutPreviewsTouchNothing()
    {
        QFETCH(FormatCategory, category);
        QTemporaryDir root;
        const QString session = root.filePath("session");
        SparseSource source(1 << 20);
        QVERIFY(!PreviewMaker::make(carved(0, 4096, "mp3", category), source, session, m_service));
        QVERIFY(!QDir(session).exists());
        QCOMPARE(source.reads(), 0);
    }

    // Exactly 300 MiB is still tried; the source failing at its first read makes
    // the try cheap, and the empty copy offered to the worker must not linger.
    void sizeLimitDecidesWhetherToTry_data()
    {
        QTest::addColumn<uint64_t>("length");
        QTest::addColumn<bool>("tried");
        QTest::newRow("exactly 300 MiB") << uint64_t { 314'572'800 } << true;
        QTest::newRow("one byte more") << uint64_t { 314'572'801 } << false;
    }
    void sizeLimitDecidesWhetherToTry()
    {
        QFETCH(uint64_t, length);
        QFETCH(bool, tried);
        QTemporaryDir root;
        const QString session = root.filePath("session");
        SparseSource source(400ull << 20, 0);
        QVERIFY(!PreviewMaker::make(carved(0, length, "jpg", FormatCategory::photos), source, session, m_service));
        QCOMPARE(source.reads() > 0 || QDir(session + "/tmp").exists(), tried);
        if (tried) {
            QVERIFY(isEmptyFolder(session + "/tmp"));
            QVERIFY(isEmptyFolder(session + "/previews"));
        }
    }

    void previewIsNamedBySectorOfItsStart()
    {
        QTemporaryDir root;
        const QString session = root.filePath("session");
        QImage picture(640, 480, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        const QByteArray jpeg = jpegBytes(picture);
        MemorySource source = cardWith(jpeg, 1'048'576);
        const CarvedFile file = carved(1'048'576, static_cast<uint64_t>(jpeg.size()), "jpg", FormatCategory::photos);

        QVERIFY(PreviewMaker::make(file, source, session, m_service));
        QCOMPARE(PreviewMaker::previewPath(session, file), session + "/previews/f2048.jpg");
        const QImage preview(session + "/previews/f2048.jpg", "JPEG");
        QCOMPARE(preview.size(), QSize(512, 384));
        QVERIFY(isEmptyFolder(session + "/tmp"));
    }

    void unwritableSessionFolderGivesFalse()
    {
        QTemporaryDir root;
        const QString session = root.filePath("session");
        QFile blocker(session);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        SparseSource source(1 << 20);
        QVERIFY(!PreviewMaker::make(carved(0, 4096, "jpg", FormatCategory::photos), source, session, m_service));
    }

    void realFilesCarvedFromAnImage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<FormatCategory>("category");
        const QString data = QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR);
        QTest::newRow("PNG") << data + "/images/gradient.png" << "png" << FormatCategory::photos;
        QTest::newRow("PDF") << data + "/documents/sample.pdf" << "pdf" << FormatCategory::documents;
        QTest::newRow("HEIC") << data + "/images/tiny.heic" << "heic" << FormatCategory::photos;
        const QString samples = samplesFolder();
        if (samples.isEmpty())
            return;
        QTest::newRow("camera JPEG") << samples + "/mei_Canon_EOS_20D.jpg" << "jpg" << FormatCategory::photos;
        QTest::newRow("phone HEIC") << samples + "/mei_iPhone8_IMG_1034.heic" << "heic" << FormatCategory::photos;
        QTest::newRow("DNG") << samples + "/photoprism_canon_eos_6d.dng" << "dng" << FormatCategory::rawPhotos;
        QTest::newRow("MP4") << samples + "/mei_with-gps.mp4" << "mp4" << FormatCategory::video;
        QTest::newRow("AVI") << samples + "/mei_Kodak_100_0306.avi" << "avi" << FormatCategory::video;
    }
    void realFilesCarvedFromAnImage()
    {
        QFETCH(QString, path);
        QFETCH(QString, ext);
        QFETCH(FormatCategory, category);
        const QByteArray bytes = readAll(path);
        QVERIFY2(!bytes.isEmpty(), qPrintable(path));
        QTemporaryDir root;
        const QString session = root.filePath("session");
        MemorySource source = cardWith(bytes, 3 * 512);
        const CarvedFile file = carved(3 * 512, static_cast<uint64_t>(bytes.size()), ext.toStdString(), category);

        QVERIFY(PreviewMaker::make(file, source, session, m_service));
        const QImage preview(PreviewMaker::previewPath(session, file), "JPEG");
        QVERIFY(!preview.isNull());
        QVERIFY(preview.width() <= 512 && preview.height() <= 512);
        QVERIFY(isEmptyFolder(session + "/tmp"));
        QCOMPARE(m_service.failedFiles(), 0);
    }

private:
    ThumbnailService m_service;
};

QTEST_GUILESS_MAIN(PreviewMakerTest)
#include "PreviewMakerTest.moc"
