#include "WorkflowTestSupport.hpp"

#include "device/MemorySource.hpp"
#include "workflow/PreviewBatch.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace brightfold;

namespace {

constexpr uint64_t kSlotBytes = 4096;
// Long enough that only stop() or the cap can end a hanging file in a test.
constexpr std::chrono::milliseconds kEndlessDeadline { 600'000 };
constexpr std::chrono::milliseconds kShortDeadline { 1'500 };

/// A card whose files say to the stand-in worker what to do: each word its own
/// file of one slot, in order.
struct StandInCard {
    std::shared_ptr<MemorySource> source;
    std::vector<CarvedFile> files;
};

StandInCard cardOf(const QStringList& words)
{
    std::vector<uint8_t> image(kSlotBytes * static_cast<size_t>(words.size()), 0);
    StandInCard card;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QByteArray word = words[i].toUtf8();
        std::memcpy(image.data() + kSlotBytes * static_cast<size_t>(i), word.constData(), static_cast<size_t>(word.size()));
        CarvedFile file;
        file.start = kSlotBytes * static_cast<uint64_t>(i);
        file.length = static_cast<uint64_t>(word.size());
        file.ext = "jpg";
        file.category = FormatCategory::photos;
        card.files.push_back(file);
    }
    card.source = std::make_shared<MemorySource>(std::move(image));
    return card;
}

PreviewBatch::ServiceFactory standIn(std::chrono::milliseconds deadline)
{
    return [deadline] { return std::make_unique<ThumbnailService>(BRIGHTFOLD_THUMBNAILER_STANDIN, deadline); };
}

QStringList previewed(const QString& session, const StandInCard& card, const QStringList& words)
{
    QStringList made;
    for (size_t i = 0; i < card.files.size(); ++i) {
        if (QFile::exists(PreviewMaker::previewPath(session, card.files[i])))
            made << words[static_cast<qsizetype>(i)];
    }
    return made;
}

QStringList wordsOf(const std::vector<CarvedFile>& files, const StandInCard& card, const QStringList& words)
{
    QStringList result;
    for (const CarvedFile& file : files) {
        for (size_t i = 0; i < card.files.size(); ++i) {
            if (card.files[i].start == file.start)
                result << words[static_cast<qsizetype>(i)];
        }
    }
    return result;
}

}

class PreviewBatchTest : public QObject {
    Q_OBJECT

private slots:
    // A worker that crashes or hangs in one of the parallel workers costs only its file.
    void failingWorkersCostOnlyTheirFile_data()
    {
        QTest::addColumn<int>("workers");
        QTest::newRow("one worker") << 1;
        QTest::newRow("two workers") << 2;
        QTest::newRow("four workers") << 4;
    }
    void failingWorkersCostOnlyTheirFile()
    {
        QFETCH(int, workers);
        const QStringList words { "a", "crash", "b", "hang", "c", "spin", "d", "oversized", "e" };
        const StandInCard card = cardOf(words);
        QTemporaryDir session;
        PreviewBatch batch(card.files, card.source, session.path(), workers, standIn(kShortDeadline));
        QCOMPARE(batch.run(std::nullopt), PreviewBatch::Outcome::finished);
        QCOMPARE(previewed(session.path(), card, words), (QStringList { "a", "b", "c", "d", "e" }));
        QCOMPARE(batch.made(), 5);
        QVERIFY(batch.untried().empty());
    }

    // Cancel must not wait for the running previews: every worker is killed.
    void stopKillsEveryRunningWorker()
    {
        const QStringList words { "hang", "hang", "a", "b" };
        const StandInCard card = cardOf(words);
        QTemporaryDir session;
        PreviewBatch batch(card.files, card.source, session.path(), 2, standIn(kEndlessDeadline));
        std::atomic<int> tried { 0 };
        std::thread canceller([&batch] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            batch.stop();
        });
        const auto outcome = batch.run(std::nullopt, [&tried](int n, const CarvedFile&, bool) { tried = n; });
        canceller.join();
        QCOMPARE(outcome, PreviewBatch::Outcome::stopped);
        QCOMPARE(batch.made(), 0);
        QCOMPARE(wordsOf(batch.untried(), card, words), words);
    }

    // A few hostile files cannot hold the results back past the cap; what was
    // not tried is handed back for later.
    void capCutsTheRunShort()
    {
        const QStringList words { "hang", "hang", "a", "b" };
        const StandInCard card = cardOf(words);
        QTemporaryDir session;
        PreviewBatch batch(card.files, card.source, session.path(), 2, standIn(kEndlessDeadline));
        QCOMPARE(batch.run(std::chrono::milliseconds(300)), PreviewBatch::Outcome::capped);
        QCOMPARE(wordsOf(batch.untried(), card, words), words);
    }

    void filesOnScreenComeFirst()
    {
        const QStringList words { "a", "b", "c", "d", "e" };
        const StandInCard card = cardOf(words);
        QTemporaryDir session;
        PreviewBatch batch(card.files, card.source, session.path(), 1, standIn(kShortDeadline));
        batch.prioritize({ 3, 4 });
        // Stopped after two files: those are the ones moved to the front.
        batch.run(std::nullopt, [&batch](int tried, const CarvedFile&, bool) {
            if (tried == 2)
                batch.stop();
        });
        QCOMPARE(previewed(session.path(), card, words), (QStringList { "d", "e" }));
        QCOMPARE(wordsOf(batch.untried(), card, words), (QStringList { "a", "b", "c" }));
    }

    void stopBeforeRunMakesNothing()
    {
        const StandInCard card = cardOf({ "a" });
        QTemporaryDir session;
        PreviewBatch batch(card.files, card.source, session.path(), 2, standIn(kShortDeadline));
        batch.stop();
        QCOMPARE(batch.run(std::nullopt), PreviewBatch::Outcome::stopped);
        QCOMPARE(batch.made(), 0);
    }
};

QTEST_GUILESS_MAIN(PreviewBatchTest)
#include "PreviewBatchTest.moc"
