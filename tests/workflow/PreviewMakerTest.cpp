#include "WorkflowTestSupport.hpp"

#include "device/MemorySource.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

CarvedFile carved(uint64_t start, uint64_t length, const QString& ext, FormatCategory category)
{
    CarvedFile file;
    file.start = start;
    file.length = length;
    file.ext = ext.toStdString();
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
    // Audio, archives and files over 300 MiB are never tried: no read, no folder.
    // Exactly 300 MiB is; the source failing at its first read makes that try
    // cheap (the worker is handed no bytes), and no temporary copy is made.
    void onlyPreviewableFilesAreTried_data()
    {
        QTest::addColumn<FormatCategory>("category");
        QTest::addColumn<uint64_t>("length");
        QTest::addColumn<bool>("tried");
        QTest::newRow("audio") << FormatCategory::audio << uint64_t { 4096 } << false;
        QTest::newRow("archives") << FormatCategory::archives << uint64_t { 4096 } << false;
        QTest::newRow("exactly 300 MiB") << FormatCategory::photos << uint64_t { 314'572'800 } << true;
        QTest::newRow("one byte more") << FormatCategory::photos << uint64_t { 314'572'801 } << false;
    }
    void onlyPreviewableFilesAreTried()
    {
        QFETCH(FormatCategory, category);
        QFETCH(uint64_t, length);
        QFETCH(bool, tried);
        QTemporaryDir root;
        const QString session = root.filePath("session");
        QVERIFY(QDir(root.path()).mkdir("session"));
        SparseSource source(400ull << 20, SparseSource::Reads::fail);
        QVERIFY(!PreviewMaker::make(carved(0, length, "jpg", category), source, session, m_service));
        QCOMPARE(source.reads() > 0, tried);
        QCOMPARE(QDir(session + "/previews").exists(), tried);
        if (tried) {
            QVERIFY(!QDir(session + "/tmp").exists());
            QVERIFY(isEmptyFolder(session + "/previews"));
        }
    }

    void realFilesCarvedFromAnImage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<FormatCategory>("category");
        const QString data = QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR);
        QTest::newRow("PNG") << data + "/images/gradient.png" << "png" << FormatCategory::photos;
        // Its second piece lies past bytes of something else: the preview is made from its runs.
        QTest::newRow("fragmented PNG") << data + "/images/gradient.png" << "png" << FormatCategory::photos;
        QTest::newRow("PDF") << data + "/documents/sample.pdf" << "pdf" << FormatCategory::documents;
        QTest::newRow("HEIC") << data + "/images/tiny.heic" << "heic" << FormatCategory::photos;
        for (const char* name : { "tiny.ts", "tiny.mts", "tiny.mpg", "tiny.mkv", "tiny.webm", "tiny.wmv", "tiny.flv" })
            QTest::newRow(name) << data + "/media/" + name << QString(name).section('.', 1) << FormatCategory::video;
        const QString samples = samplesFolder();
        if (samples.isEmpty()) {
            QTest::newRow("camera and phone samples") << QString() << QString() << FormatCategory::photos;
            return;
        }
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
        if (path.isEmpty())
            QSKIP_WITHOUT_CAPABILITY("the shared sample files are not here");
        const bool fragmented = QTest::currentDataTag() == QStringLiteral("fragmented PNG");
        const QByteArray bytes = readAll(path);
        QVERIFY2(!bytes.isEmpty(), qPrintable(path));
        QTemporaryDir root;
        const QString session = root.filePath("session");
        QVERIFY(QDir(root.path()).mkdir("session") && QDir(root.path()).mkdir("whole"));
        const qsizetype firstPiece = bytes.size() / 2;
        MemorySource source = cardWith(fragmented ? bytes.left(firstPiece) + QByteArray(8192, '\xFF') + bytes.mid(firstPiece) : bytes, 1'048'576);
        CarvedFile file = carved(1'048'576, static_cast<uint64_t>(bytes.size()), ext, category);
        if (fragmented)
            file.runs = std::vector<SourceRun> { { 1'048'576, static_cast<uint64_t>(firstPiece) },
                { 1'048'576 + static_cast<uint64_t>(firstPiece) + 8192, static_cast<uint64_t>(bytes.size() - firstPiece) } };

        QVERIFY(PreviewMaker::make(file, source, session, m_service));
        QCOMPARE(PreviewMaker::previewPath(session, file), session + "/previews/f2048.jpg");
        const QImage preview(session + "/previews/f2048.jpg", "JPEG");
        QVERIFY(!preview.isNull());
        QVERIFY(preview.width() <= 512 && preview.height() <= 512);
        QVERIFY(!QDir(session + "/tmp").exists());
        QCOMPARE(m_service.failedFiles(), 0);
        if (fragmented) {
            // The same picture as the file's contiguous copy gives (a decoder shows a cut PNG too).
            MemorySource whole = cardWith(bytes, 1'048'576);
            QVERIFY(PreviewMaker::make(carved(1'048'576, static_cast<uint64_t>(bytes.size()), ext, category), whole, root.filePath("whole"), m_service));
            QCOMPARE(preview, QImage(root.filePath("whole/previews/f2048.jpg"), "JPEG"));
        }
    }

    // A scan deleted while its previews are being made is not brought back by them.
    void aRemovedSessionFolderIsNotMadeAgain()
    {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(QImage(16, 16, QImage::Format_RGB32).save(&buffer, "PNG"));
        QTemporaryDir root;
        const QString session = root.filePath("deleted");
        MemorySource source = cardWith(png, 0);
        QVERIFY(!PreviewMaker::make(carved(0, static_cast<uint64_t>(png.size()), "png", FormatCategory::photos), source, session, m_service));
        QVERIFY(!QDir(session).exists());
    }

    // JPEG has no transparency: what shows through must be white, as on a page,
    // and an opaque picture must keep its colours.
    void transparentPartsShowWhite()
    {
        QImage picture(64, 32, QImage::Format_ARGB32);
        picture.fill(Qt::transparent);
        for (int y = 0; y < 32; ++y)
            for (int x = 32; x < 64; ++x)
                picture.setPixelColor(x, y, Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(picture.save(&buffer, "PNG"));
        QTemporaryDir root;
        MemorySource source = cardWith(png, 0);
        const CarvedFile file = carved(0, static_cast<uint64_t>(png.size()), "png", FormatCategory::photos);
        QVERIFY(PreviewMaker::make(file, source, root.path(), m_service));
        const QImage preview(PreviewMaker::previewPath(root.path(), file), "JPEG");
        QCOMPARE(preview.size(), QSize(64, 32));
        const QColor left = preview.pixelColor(8, 16);
        const QColor right = preview.pixelColor(56, 16);
        QVERIFY2(left.red() > 240 && left.green() > 240 && left.blue() > 240, qPrintable(left.name()));
        QVERIFY2(right.blue() > 200 && right.red() < 40 && right.green() < 40, qPrintable(right.name()));
    }

private:
    ThumbnailService m_service;
};

QTEST_GUILESS_MAIN(PreviewMakerTest)
#include "PreviewMakerTest.moc"
