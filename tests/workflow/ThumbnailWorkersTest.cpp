#include "workflow/ThumbnailService.hpp"
#include "workflow/ThumbnailWorkers.hpp"

#include <QTest>

using namespace brightfold;

namespace {

const QSize kTarget(256, 256);

ThumbnailWorkers::ServiceFactory standIn(std::chrono::milliseconds deadline)
{
    return [deadline] { return std::make_unique<ThumbnailService>(BRIGHTFOLD_THUMBNAILER_STANDIN, deadline); };
}

}

class ThumbnailWorkersTest : public QObject {
    Q_OBJECT

private slots:
    // The stand-in worker reads only the file's name: "crash" and "hang" cost
    // their own file, every other file gets its picture, whichever worker serves it.
    void aFailingFileCostsOnlyItself()
    {
        ThumbnailWorkers workers(2, standIn(std::chrono::milliseconds(1'500)));
        const QStringList names { "a.jpg", "crash.jpg", "b.jpg", "hang.jpg", "c.jpg", "d.jpg" };
        QList<QFuture<ThumbnailWorkers::Thumbnail>> answers;
        for (const QString& name : names)
            answers << workers.thumbnail("/nowhere/" + name, kTarget);
        for (qsizetype i = 0; i < names.size(); ++i) {
            const bool fails = names[i].startsWith("crash") || names[i].startsWith("hang");
            QCOMPARE(answers[i].result().has_value(), !fails);
        }
    }

    // Shutting down stops a worker stuck on a file at once and answers every
    // waiting request; later requests get nothing.
    void shutDownEndsEverythingAtOnce()
    {
        ThumbnailWorkers workers(1, standIn(std::chrono::milliseconds(600'000)));
        QFuture<ThumbnailWorkers::Thumbnail> stuck = workers.thumbnail("/nowhere/hang.jpg", kTarget);
        QFuture<ThumbnailWorkers::Thumbnail> waiting = workers.thumbnail("/nowhere/a.jpg", kTarget);
        QTest::qWait(200);
        workers.shutDown();
        QVERIFY(stuck.isFinished());
        QVERIFY(waiting.isFinished());
        QVERIFY(!stuck.result().has_value());
        QVERIFY(!waiting.result().has_value());
        QVERIFY(!workers.thumbnail("/nowhere/b.jpg", kTarget).result().has_value());
    }
};

QTEST_GUILESS_MAIN(ThumbnailWorkersTest)
#include "ThumbnailWorkersTest.moc"
