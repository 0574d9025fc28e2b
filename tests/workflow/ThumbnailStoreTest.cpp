#include "workflow/ThumbnailStore.hpp"

#include <QTemporaryDir>
#include <QTest>

using namespace brightfold;

namespace {

QFuture<ThumbnailStore::Picture> readyPicture(ThumbnailStore::Picture picture)
{
    return QtFuture::makeReadyFuture(std::move(picture));
}

PictureSource file(const QString& path)
{
    return { std::nullopt, path };
}

}

class ThumbnailStoreTest : public QObject {
    Q_OBJECT

private slots:
    void theLeastRecentlyUsedMakesRoom()
    {
        int drawn = 0;
        ThumbnailStore store([&drawn](const QString&, QSize) {
            ++drawn;
            return readyPicture(QImage(1, 1, QImage::Format_RGB32));
        });
        for (int i = 0; i < ThumbnailStore::kMaxEntries; ++i)
            QVERIFY(store.picture(file(QString("/saved/f%1.jpg").arg(i)), 300).result().has_value());
        // The first picture is looked at again, so the second is the one to go.
        QVERIFY(store.cached(file("/saved/f0.jpg"), 300).has_value());
        QVERIFY(store.picture(file("/saved/new.jpg"), 300).result().has_value());
        QCOMPARE(store.count(), ThumbnailStore::kMaxEntries);
        QVERIFY(store.cached(file("/saved/f0.jpg"), 300).has_value());
        QVERIFY(!store.cached(file("/saved/f1.jpg"), 300).has_value());
        QCOMPARE(drawn, ThumbnailStore::kMaxEntries + 1);
    }

    void failureCachesNothing()
    {
        int drawn = 0;
        ThumbnailStore store([&drawn](const QString&, QSize) {
            return readyPicture(++drawn == 1 ? std::nullopt : std::optional(QImage(1, 1, QImage::Format_RGB32)));
        });
        QVERIFY(!store.picture(file("/saved/a.jpg"), 150).result().has_value());
        QCOMPARE(store.count(), 0);
        QVERIFY(store.picture(file("/saved/a.jpg"), 150).result().has_value());
        QVERIFY(store.picture(file("/saved/a.jpg"), 150).result().has_value());
        QCOMPARE(drawn, 2);
    }

    // Each size is its own picture, and a preview is not the file it stands for;
    // sizes past the worker's largest side are that side.
    void picturesAreKeptBySourceAndSize()
    {
        QList<QSize> asked;
        ThumbnailStore store([&asked](const QString&, QSize target) {
            asked << target;
            return readyPicture(QImage(target, QImage::Format_RGB32));
        });
        QCOMPARE(store.picture(file("/saved/a.jpg"), 300).result()->width(), 300);
        QCOMPARE(store.picture(file("/saved/a.jpg"), 640).result()->width(), 640);
        QCOMPARE(store.picture(file("/saved/a.jpg"), 9000).result()->width(), ThumbnailStore::kMaxPixels);
        QVERIFY(store.cached(file("/saved/a.jpg"), 4096).has_value());
        QCOMPARE(asked, (QList<QSize> { QSize(300, 300), QSize(640, 640), QSize(2048, 2048) }));
        QVERIFY(!store.cached({ QString("/saved/a.jpg"), std::nullopt }, 300).has_value());
        QVERIFY(!store.picture({}, 300).result().has_value());
        QVERIFY(!store.picture(file("/saved/a.jpg"), 0).result().has_value());
    }

    // A preview JPEG is read by the store itself, scaled down to the size asked
    // and never up; one that cannot be read gives nothing.
    void previewsAreReadAtTheSizeAsked()
    {
        QTemporaryDir folder;
        const QString wide = folder.filePath("wide.jpg");
        QVERIFY(QImage(800, 400, QImage::Format_RGB32).save(wide, "JPEG"));
        QFile broken(folder.filePath("broken.jpg"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("\xFF\xD8\xFF not a picture");
        broken.close();
        ThumbnailStore store([](const QString&, QSize) { return readyPicture(std::nullopt); });

        QCOMPARE(store.picture({ wide, std::nullopt }, 200).result()->size(), QSize(200, 100));
        QCOMPARE(store.picture({ wide, std::nullopt }, 1000).result()->size(), QSize(800, 400));
        QVERIFY(!store.picture({ broken.fileName(), std::nullopt }, 200).result().has_value());
        QVERIFY(!store.picture({ folder.filePath("missing.jpg"), std::nullopt }, 200).result().has_value());
    }
};

QTEST_GUILESS_MAIN(ThumbnailStoreTest)
#include "ThumbnailStoreTest.moc"
