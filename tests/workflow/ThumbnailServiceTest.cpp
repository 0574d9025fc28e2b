#include "WorkflowTestSupport.hpp"

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <random>
#include <thread>
#include <unistd.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr std::chrono::milliseconds kShortDeadline { 1500 };
const QSize kTarget(512, 512);

QString writeFile(const QTemporaryDir& folder, const QString& name, const QByteArray& bytes)
{
    const QString path = folder.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

/// Red on the left half, blue on the right.
QImage twoColours(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::red);
    QPainter(&image).fillRect(QRect(size.width() / 2, 0, size.width() / 2, size.height()), Qt::blue);
    return image;
}

bool isNear(QRgb pixel, QRgb expected)
{
    return std::abs(qRed(pixel) - qRed(expected)) < 48 && std::abs(qGreen(pixel) - qGreen(expected)) < 48
        && std::abs(qBlue(pixel) - qBlue(expected)) < 48;
}

}

class ThumbnailServiceTest : public QObject {
    Q_OBJECT

private slots:
    // A worker that crashes, hangs, spins or answers out of bounds costs that one
    // file: it is counted, and the next file is served by a fresh worker. A reply
    // turning up after its request was answered belongs to no file: the next file
    // must not be given it. A worker leaving because its CPU time is used up
    // costs nothing, the request it left unread going to a fresh worker; one that
    // leaves so at every start is given up after one fresh try.
    void misbehavingWorkerCostsOneFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("failed");
        for (const char* name : { "crash.jpg", "hang.jpg", "spin.jpg", "oversized.jpg", "twice.jpg" })
            QTest::newRow(name) << QString(name) << 1;
        QTest::newRow("late.jpg") << "late.jpg" << 0;
        QTest::newRow("retiring.jpg") << "retiring.jpg" << 0;
        QTest::newRow("retired.jpg") << "retired.jpg" << 1;
    }
    void misbehavingWorkerCostsOneFile()
    {
        QFETCH(QString, name);
        QFETCH(int, failed);
        ThumbnailService service(BRIGHTFOLD_THUMBNAILER_STANDIN, kShortDeadline);
        QVERIFY(service.thumbnail("/cards/before.jpg", kTarget).has_value());
        QCOMPARE(service.thumbnail("/cards/" + name, kTarget).has_value(), failed == 0);
        QCOMPARE(service.failedFiles(), failed);
        QTest::qWait(400);
        const auto next = service.thumbnail("/cards/after.jpg", kTarget);
        QVERIFY(next.has_value());
        QCOMPARE(next->size(), QSize(2, 2));
        QCOMPARE(service.failedFiles(), failed);
    }

    // Handed bytes go the same way as files by path: a worker misbehaving on one
    // file costs that file, and the bytes of the next reach a fresh worker whole,
    // however many pieces they come in. A worker that retires is handed the
    // file again from its first byte.
    void handedBytesMisbehavingCostOneFile_data()
    {
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<int>("failed");
        for (const char* word : { "crash", "hang", "oversized", "twice", "retired" })
            QTest::newRow(word) << QByteArray(word) << 1;
        QTest::newRow("late") << QByteArray("late") << 0;
        QTest::newRow("retiring") << QByteArray("retiring") << 0;
    }
    void handedBytesMisbehavingCostOneFile()
    {
        QFETCH(QByteArray, said);
        QFETCH(int, failed);
        ThumbnailService service(BRIGHTFOLD_THUMBNAILER_STANDIN, kShortDeadline);
        // The bytes in pieces of three at most, as a card hands them out in pieces.
        auto readerOf = [](const QByteArray& bytes) {
            return [bytes](uint64_t offset) {
                const QByteArray piece = bytes.mid(static_cast<qsizetype>(offset), 3);
                return std::vector<uint8_t>(piece.begin(), piece.end());
            };
        };
        QVERIFY(service.thumbnail("jpg", 4, readerOf("fine"), kTarget, 300).has_value());
        QCOMPARE(service.thumbnail("jpg", 8, readerOf(said), kTarget, 300).has_value(), failed == 0);
        QCOMPARE(service.failedFiles(), failed);
        QTest::qWait(400);
        const auto next = service.thumbnail("jpg", 5, readerOf("after"), kTarget, 300);
        QVERIFY(next.has_value());
        QCOMPARE(next->size(), QSize(2, 2));
        QCOMPARE(service.failedFiles(), failed);
    }

    // Cancel acts at once: a file the worker hangs on is given up when stop()
    // comes from another thread, long before its deadline, and is no worker failure.
    void stopEndsTheRunningFileAtOnce()
    {
        ThumbnailService service(BRIGHTFOLD_THUMBNAILER_STANDIN, std::chrono::milliseconds(600'000));
        std::thread canceller([&service] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            service.stop();
        });
        QVERIFY(!service.thumbnail("/cards/hang.jpg", kTarget));
        canceller.join();
        QVERIFY(service.isStopped());
        QVERIFY(!service.thumbnail("/cards/fine.jpg", kTarget));
        QCOMPARE(service.failedFiles(), 0);
    }

    // The scaled size is set on the stored picture: a quarter turn must swap
    // which side the target bounds, or the upright result overshoots the target.
    void jpegFollowsExifOrientation_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("expected");
        QTest::addColumn<QPoint>("redAt");
        QTest::newRow("upright") << 1 << QSize(512, 256) << QPoint(10, 128);
        QTest::newRow("quarter turn clockwise") << 6 << QSize(256, 512) << QPoint(128, 10);
        QTest::newRow("half turn") << 3 << QSize(512, 256) << QPoint(500, 128);
    }
    void jpegFollowsExifOrientation()
    {
        QFETCH(int, orientation);
        QFETCH(QSize, expected);
        QFETCH(QPoint, redAt);
        QTemporaryDir folder;
        const QByteArray jpeg = withExifOrientation(jpegBytes(twoColours(QSize(1600, 800))), static_cast<uint16_t>(orientation));
        ThumbnailService service;
        const auto image = service.thumbnail(writeFile(folder, "f1.jpg", jpeg), kTarget);
        QVERIFY(image.has_value());
        QCOMPARE(image->size(), expected);
        QVERIFY(isNear(image->pixel(redAt), qRgb(255, 0, 0)));
    }

    // Black for half a second, then red beside blue; the display matrix turns it
    // a quarter counter-clockwise, so blue ends up above red.
    void videoFrameIsPastTheStartAndTurnedByDisplayMatrix()
    {
        ThumbnailService service;
        const auto image = service.thumbnail(QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR "/images/rotated.mp4"), kTarget);
        QVERIFY(image.has_value());
        QCOMPARE(image->size(), QSize(32, 64));
        QVERIFY(isNear(image->pixel(16, 5), qRgb(0, 0, 255)));
        QVERIFY(isNear(image->pixel(16, 58), qRgb(255, 0, 0)));
    }

    // Formats whose carvers came after the first ones: libraw reads the preview a
    // Fujifilm RAF embeds, FFmpeg the merged image of a Photoshop document.
    void rawAndPhotoshopFilesGetPreviews_data()
    {
        QTest::addColumn<QString>("sample");
        QTest::newRow("raf") << "exiftool_FujiFilm.raf";
        QTest::newRow("psd") << "exiftool_Photoshop.psd";
    }
    void rawAndPhotoshopFilesGetPreviews()
    {
        QFETCH(QString, sample);
        const QString samples = samplesFolder();
        if (samples.isEmpty())
            QSKIP_WITHOUT_CAPABILITY("the shared sample files are not here");
        ThumbnailService service;
        const auto image = service.thumbnail(samples + "/" + sample, kTarget);
        QVERIFY(image.has_value());
        QVERIFY(image->width() > 0 && image->width() <= kTarget.width() && image->height() <= kTarget.height());
    }

    // A decoder hijacked by a crafted file runs with the worker's rights: the
    // worker fences itself in before it reads a request. Soft limits alone
    // could be raised again; the CPU fence is also what ends a worker whose
    // application is gone. It must still leave cleanly at the end of its input.
    void workerConfinesItself()
    {
        QProcess worker;
        worker.start(ThumbnailService::defaultWorkerPath(), {});
        ThumbnailRequest request;
        request.path = "/nonexistent/f0.jpg";
        request.maxWidth = request.maxHeight = 64;
        const auto frame = encodeFrame(encodeRequest(request));
        worker.write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
        QVERIFY(worker.waitForReadyRead(10'000));
        const QString proc = QString("/proc/%1/").arg(worker.processId());
        const QByteArray limits = readAll(proc + "limits");
        const auto softAndHard = [&limits](const QByteArray& name) {
            const qsizetype at = limits.indexOf(name);
            return at < 0 ? QList<QByteArray>() : limits.mid(at + name.size(), 44).simplified().split(' ');
        };
        for (const char* name : { "Max cpu time", "Max file size", "Max core file size", "Max open files", "Max address space" }) {
            const QList<QByteArray> limit = softAndHard(name);
            QVERIFY2(limit.size() == 2 && limit[0] == limit[1], name);
        }
        const qint64 cpuSeconds = softAndHard("Max cpu time").value(0).toLongLong();
        QVERIFY(cpuSeconds > 0 && cpuSeconds <= 60);
        QCOMPARE(softAndHard("Max file size").value(0), QByteArray("0"));
        QCOMPARE(softAndHard("Max core file size").value(0), QByteArray("0"));

        const QByteArray status = readAll(proc + "status");
        QVERIFY(status.contains("\nNoNewPrivs:\t1\n"));
        QVERIFY(status.contains("\nSeccomp:\t2\n"));
        if (::geteuid() == 0)
            QVERIFY2(status.contains("\nUid:\t65534\t65534\t65534\t65534\n"), "started as root, runs as nobody");
        const auto networkOf = [](const QString& process) {
            std::error_code error;
            return std::filesystem::read_symlink((process + "ns/net").toStdString(), error).string();
        };
        if (networkOf("/proc/self/") == networkOf(proc))
            qInfo("the system refuses the worker a network namespace of its own here");

        worker.closeWriteChannel();
        QVERIFY(worker.waitForFinished());
        QCOMPARE(worker.exitStatus(), QProcess::NormalExit);
        QCOMPARE(worker.exitCode(), 0);
    }

    // Carved files are often cut short or are not what their extension says; the
    // real worker must answer every one of them (a picture or nothing) and live on.
    void realWorkerSurvivesDamagedFiles()
    {
        const QString data = QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR);
        QStringList originals;
        for (const char* name : { "gradient.png", "animated.gif", "tiled.tif", "v5.bmp", "tiny.heic", "tiny.avif", "tiny.mp4", "tiny.3gp" })
            originals << data + "/images/" + name;
        originals << data + "/documents/sample.pdf" << data + "/card/tiny.arw";
        const QString samples = samplesFolder();
        if (!samples.isEmpty())
            originals << samples + "/mei_Canon_EOS_20D.jpg" << samples + "/mei_photo1.webp" << samples + "/photoprism_canon_eos_6d.dng"
                      << samples + "/exiftool_FujiFilm.raf" << samples + "/exiftool_Photoshop.psd";
        QTemporaryDir folder;
        ThumbnailService service;
        std::mt19937 random(14);
        for (const QString& original : originals) {
            const QByteArray bytes = readAll(original);
            const QString ext = QFileInfo(original).suffix();
            QByteArray flipped = bytes;
            for (qsizetype at = 64; at < flipped.size(); at += 97)
                flipped[at] = static_cast<char>(flipped[at] ^ random());
            const QList<QByteArray> damaged { bytes.left(bytes.size() / 2), bytes.left(bytes.size() / 8), flipped, bytes.left(16) };
            for (const QByteArray& variant : damaged) {
                const auto image = service.thumbnail(writeFile(folder, "damaged." + ext, variant), kTarget);
                QVERIFY(!image || (image->width() <= 512 && image->height() <= 512));
                QVERIFY2(service.failedFiles() == 0, qPrintable(original));
            }
        }
        if (samples.isEmpty())
            QSKIP_WITHOUT_CAPABILITY("the files of this project passed; the shared sample files are not here");
    }
};

QTEST_GUILESS_MAIN(ThumbnailServiceTest)
#include "ThumbnailServiceTest.moc"
