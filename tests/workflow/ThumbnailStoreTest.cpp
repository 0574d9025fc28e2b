#include "workflow/ThumbnailStore.hpp"

#include <QTest>

using namespace brightfold;

class ThumbnailStoreTest : public QObject {
    Q_OBJECT

private slots:
    void the601stFileDropsOneEntry()
    {
        int drawn = 0;
        ThumbnailStore store([&drawn](const QString&, QSize) {
            ++drawn;
            return std::optional(QImage(1, 1, QImage::Format_RGB32));
        });
        for (int i = 0; i < 601; ++i)
            QVERIFY(store.thumbnail(QString("/saved/f%1.jpg").arg(i), 150, 2).has_value());
        QCOMPARE(store.count(), 600);
        QCOMPARE(drawn, 601);
        // The newest entry stays; at least the one dropped before it is drawn again.
        QVERIFY(store.thumbnail("/saved/f600.jpg", 150, 2).has_value());
        QCOMPARE(drawn, 601);
        for (int i = 0; i < 600; ++i)
            store.thumbnail(QString("/saved/f%1.jpg").arg(i), 150, 2);
        QVERIFY(drawn > 601);
        QCOMPARE(store.count(), 600);
    }

    void failureCachesNothing()
    {
        int drawn = 0;
        ThumbnailStore store([&drawn](const QString&, QSize) {
            return ++drawn == 1 ? std::nullopt : std::optional(QImage(1, 1, QImage::Format_RGB32));
        });
        QVERIFY(!store.thumbnail("/saved/a.jpg", 150, 1).has_value());
        QCOMPARE(store.count(), 0);
        QVERIFY(store.thumbnail("/saved/a.jpg", 150, 1).has_value());
        QVERIFY(store.thumbnail("/saved/a.jpg", 150, 1).has_value());
        QCOMPARE(drawn, 2);
    }
};

QTEST_GUILESS_MAIN(ThumbnailStoreTest)
#include "ThumbnailStoreTest.moc"
