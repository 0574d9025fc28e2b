#include "workflow/ThumbnailLoader.hpp"

#include <QSignalSpy>
#include <QTest>

#include <map>

using namespace brightfold;

namespace {

/// A drawer whose pictures arrive when the test says so.
struct HeldDrawer {
    std::map<QString, QPromise<ThumbnailStore::Picture>> held;
    QStringList asked;

    ThumbnailStore::Drawer drawer()
    {
        return [this](const QString& path, QSize) {
            asked << path;
            QPromise<ThumbnailStore::Picture>& promise = held[path];
            promise.start();
            return promise.future();
        };
    }
    void answer(const QString& path, bool withPicture)
    {
        QPromise<ThumbnailStore::Picture>& promise = held.at(path);
        promise.addResult(withPicture ? std::optional(QImage(2, 2, QImage::Format_RGB32)) : std::nullopt);
        promise.finish();
    }
};

PictureSource file(const QString& path)
{
    return { std::nullopt, path };
}

}

class ThumbnailLoaderTest : public QObject {
    Q_OBJECT

private slots:
    // Two pictures are drawn at once; the rest wait their turn, and an answer
    // starts the next one.
    void drawsAFewAtOnceInTheOrderAsked()
    {
        HeldDrawer drawer;
        ThumbnailStore store(drawer.drawer());
        ThumbnailLoader loader(150, 2, nullptr, store);
        QSignalSpy ready(&loader, &ThumbnailLoader::ready);
        for (const char* name : { "a", "b", "c", "d" })
            QVERIFY(!loader.picture(name, file(QString("/saved/") + name)));
        QCOMPARE(drawer.asked, (QStringList { "/saved/a", "/saved/b" }));
        QCOMPARE(loader.pending(), 4);

        drawer.answer("/saved/b", true);
        QTRY_COMPARE(ready.count(), 1);
        QCOMPARE(ready.at(0).at(0).toString(), QString("b"));
        QCOMPARE(drawer.asked, (QStringList { "/saved/a", "/saved/b", "/saved/c" }));
        QVERIFY(loader.picture("b", file("/saved/b")).has_value());
        // Asking again while a picture is on its way draws nothing more.
        QVERIFY(!loader.picture("a", file("/saved/a")));
        QCOMPARE(drawer.asked.count(), 3);
    }

    // Pictures of cells scrolled away are not drawn; asked again, they are.
    void cellsNoLongerShownAreDropped()
    {
        HeldDrawer drawer;
        ThumbnailStore store(drawer.drawer());
        ThumbnailLoader loader(150, 1, nullptr, store);
        for (const char* name : { "a", "b", "c", "d", "e" })
            loader.picture(name, file(QString("/saved/") + name));
        loader.showing({ "e" });
        QCOMPARE(loader.pending(), 3); // two being drawn, and "e"
        drawer.answer("/saved/a", true);
        drawer.answer("/saved/b", true);
        QTRY_COMPARE(drawer.asked, (QStringList { "/saved/a", "/saved/b", "/saved/e" }));
        QVERIFY(!loader.picture("c", file("/saved/c")));
        QCOMPARE(drawer.asked.last(), QString("/saved/c"));
    }

    // A file whose picture could not be drawn is not asked for again; a cell
    // without a source yet is asked for once it has one.
    void noPictureIsRemembered()
    {
        HeldDrawer drawer;
        ThumbnailStore store(drawer.drawer());
        ThumbnailLoader loader(150, 1, nullptr, store);
        QSignalSpy ready(&loader, &ThumbnailLoader::ready);
        loader.picture("a", file("/saved/a"));
        drawer.answer("/saved/a", false);
        QTRY_VERIFY(loader.hasNoPicture("a"));
        QVERIFY(!loader.picture("a", file("/saved/a")));
        QCOMPARE(drawer.asked.count(), 1);

        QVERIFY(!loader.picture("later", {}));
        QVERIFY(!loader.hasNoPicture("later"));
        QCOMPARE(loader.pending(), 0);
        loader.picture("later", file("/saved/later"));
        QCOMPARE(drawer.asked.last(), QString("/saved/later"));
    }

    // A loader gone before its pictures arrive is not called back.
    void picturesArrivingAfterTheLoaderAreDropped()
    {
        HeldDrawer drawer;
        ThumbnailStore store(drawer.drawer());
        {
            ThumbnailLoader loader(150, 1, nullptr, store);
            loader.picture("a", file("/saved/a"));
        }
        drawer.answer("/saved/a", true);
        QTRY_COMPARE(store.count(), 1);
    }
};

QTEST_GUILESS_MAIN(ThumbnailLoaderTest)
#include "ThumbnailLoaderTest.moc"
