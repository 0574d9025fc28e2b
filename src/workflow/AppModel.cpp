#include "workflow/AppModel.hpp"

#include "scan/CardCopy.hpp"
#include "scan/ScanRunner.hpp"
#include "workflow/Executor.hpp"
#include "workflow/PropertyChange.hpp"
#include "workflow/PreviewBatch.hpp"
#include "workflow/PreviewMaker.hpp"
#include "scan/ScanStore.hpp"
#include "workflow/RecoveredItem.hpp"
#include "workflow/StepStatus.hpp"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace brightfold {

namespace {

// Previews are counted out to the screen every this many files.
constexpr size_t kPreviewProgressStep = 4;
// The preview phase after a scan takes at most half the scan's own time, and
// never less than this: a handful of hostile or slow files cannot hold every
// result back. Files past the cap are shown by their type's icon.
constexpr std::chrono::milliseconds kLeastPreviewTime { 10'000 };

std::chrono::milliseconds previewCap(std::chrono::steady_clock::duration scanTime)
{
    return std::max(kLeastPreviewTime, std::chrono::duration_cast<std::chrono::milliseconds>(scanTime / 2));
}

}

AppModel::AppModel(AppSettings settings, std::shared_ptr<DeviceAccess> devices, std::shared_ptr<Desktop> desktop, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_devices(std::move(devices))
    , m_desktop(std::move(desktop))
    , m_copyFolder(QDir::homePath() + QStringLiteral("/Brightfold Card Copies"))
{
    reloadRecentScans();
    m_step = stepIndex(m_stage);
    m_stepStatus = brightfold::stepStatus(m_stage, m_progress);
}

AppModel::~AppModel()
{
    m_gate.close();
    m_copyStop->store(true);
    if (m_scan)
        m_scan->engine().cancel();
    if (m_previews)
        m_previews->stop();
    // The tasks use this model to the end: wait for them, and for any they start
    // meanwhile (the previews going on in the background included).
    for (;;) {
        QList<QFuture<void>> tasks;
        {
            const std::lock_guard lock(m_tasksLock);
            tasks.swap(m_tasks);
        }
        if (tasks.isEmpty())
            break;
        for (QFuture<void>& task : tasks)
            task.waitForFinished();
    }
}

DiskImages AppModel::diskImages() const
{
    return m_settings.testVolume ? DiskImages::included : DiskImages::excluded;
}

void AppModel::setSource(const OptionalSource& source)
{
    Q_ASSERT(QThread::currentThread() == thread());
    changeProperty(this, m_source, source, &AppModel::sourceChanged);
}

void AppModel::setEnabledCategories(const CategorySet& categories)
{
    Q_ASSERT(QThread::currentThread() == thread());
    changeProperty(this, m_enabledCategories, categories, &AppModel::enabledCategoriesChanged);
}

void AppModel::setCategoryEnabled(FormatCategory category, bool enabled)
{
    CategorySet categories = m_enabledCategories;
    if (enabled)
        categories.insert(category);
    else
        categories.erase(category);
    setEnabledCategories(categories);
}

void AppModel::setUnmountFirst(bool unmountFirst)
{
    Q_ASSERT(QThread::currentThread() == thread());
    changeProperty(this, m_unmountFirst, unmountFirst, &AppModel::unmountFirstChanged);
}

void AppModel::setCopyFirst(bool copyFirst)
{
    Q_ASSERT(QThread::currentThread() == thread());
    changeProperty(this, m_copyFirst, copyFirst, &AppModel::copyFirstChanged);
}

void AppModel::setCopyFolder(const QString& folder)
{
    Q_ASSERT(QThread::currentThread() == thread());
    changeProperty(this, m_copyFolder, folder, &AppModel::copyFolderChanged);
}

void AppModel::chooseCopyFolder()
{
    if (!m_desktop)
        return;
    m_desktop
        ->chooseFolder({ QStringLiteral("Copy the Card To"), QStringLiteral("Choose a folder on this computer, with room for the whole card"), QStringLiteral("Copy Here") })
        .then(this, [this](std::optional<QString> folder) {
            if (folder)
                setCopyFolder(*folder);
        });
}

void AppModel::copyCardFirstNextTime()
{
    setCopyFirst(true);
    returnToSetup();
}

void AppModel::refreshDisks()
{
    reloadRecentScans();
    setRefreshing(true);
    startTask([this] {
        DiskList disks = m_devices->externalDisks(DiskImages::excluded);
        std::optional<ExternalDisk> testDisk;
        if (m_settings.testVolume) {
            // The disk image mounted under the test volume's name stands in for the card.
            for (const ExternalDisk& candidate : m_devices->externalDisks(DiskImages::included)) {
                bool named = std::ranges::find(candidate.volumeNames, m_settings.testVolume->toStdString()) != candidate.volumeNames.end();
                bool listedBefore = std::ranges::any_of(disks,
                    [&](const ExternalDisk& disk) { return disk.deviceIdentifier == candidate.deviceIdentifier; });
                if (named && !listedBefore) {
                    testDisk = candidate;
                    break;
                }
            }
            disks = testDisk ? DiskList { *testDisk } : DiskList {};
        }
        m_gate.post([this, disks = std::move(disks), testDisk] {
            setDisks(disks);
            setRefreshing(false);
            if (testDisk && !m_source)
                setSource(AppSource { *testDisk });
            if (const auto* chosen = m_source ? std::get_if<ExternalDisk>(&m_source->value) : nullptr) {
                bool present = std::ranges::any_of(
                    m_disks, [&](const ExternalDisk& disk) { return disk.deviceIdentifier == chosen->deviceIdentifier; });
                if (!present)
                    setSource(std::nullopt);
            }
        });
    });
}

void AppModel::chooseImageFile()
{
    if (!m_desktop)
        return;
    m_desktop
        ->chooseFile({ QStringLiteral("Choose a Disk Image"), QStringLiteral("Select a raw disk image (.img, .dd, .raw, .iso, .bin) to scan"), {} })
        .then(this, [this](std::optional<QString> path) {
            if (path)
                setSource(AppSource { ImageFile { *path } });
        });
}

void AppModel::start()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_source)
        return;
    setSetupWarning(std::nullopt);
    if (m_enabledCategories.empty()) {
        setSetupWarning(QStringLiteral("Select at least one file type to recover."));
        return;
    }
    ScanPlan plan;
    ScanSession session;
    if (const auto* disk = std::get_if<ExternalDisk>(&m_source->value)) {
        session = ScanSession::forDisk(*disk);
        plan.path = disk->rawDevicePath();
        plan.unmountFirst = m_unmountFirst;
    } else {
        // A device node chosen as an image is the card it is, when it is one of the listed disks.
        session = ScanSession::forSource(std::get<ImageFile>(m_source->value).path.toStdString(), *m_devices);
        if (const auto* disk = std::get_if<ScanSession::Disk>(&session.source))
            plan.path = "/dev/" + disk->deviceIdentifier;
        else
            plan.path = std::get<ScanSession::Image>(session.source).path;
    }
    plan.id = session.id;
    plan.name = QString::fromStdString(session.sourceName);
    plan.source = session.source;
    plan.folder = ScanStore::folder(session);
    plan.categories = m_enabledCategories;
    if (const auto* disk = std::get_if<ScanSession::Disk>(&session.source); disk && m_copyFirst) {
        std::filesystem::path folder = m_copyFolder.toStdString();
        if (std::optional<std::string> problem = CardCopy::folderProblem(folder, plan.path, disk->sizeBytes)) {
            setSetupWarning(QString::fromStdString(*problem));
            return;
        }
        plan.copyFolder = folder;
    }
    m_copyStop = std::make_shared<std::atomic<bool>>(false);

    setProgress(std::nullopt);
    setPreviewProgress(std::nullopt);
    m_previewsCancelled = false;
    stopPreviews(); // an earlier scan's, going on in the background
    setStage(AppStage::scanning(plan.name));
    startTask([this, plan] { runScan(plan); });
}

void AppModel::runScan(const ScanPlan& plan)
{
    std::shared_ptr<ScanRunner> scan;
    ScanSession session;
    std::chrono::steady_clock::duration scanTime {};
    try {
        // A card that stays mounted is still scanned; the scan screen already says a password may be asked for.
        ScanRequest request { .sourcePath = plan.path, .categories = plan.categories, .outputFolder = plan.folder,
            .unmount = plan.unmountFirst ? UnmountChoice::unmountFirst : UnmountChoice::leaveMounted,
            .refusal = RefusalText::asReported };
        std::optional<CardCopyResult> copied;
        if (plan.copyFolder) {
            copied = copyCard(plan, ScanRunner::openSource(request, *m_devices, {}));
            request.sourcePath = copied->image.path;
            request.unmount = UnmountChoice::leaveMounted;
        }
        scan = std::make_shared<ScanRunner>(std::move(request), *m_devices);
        scan->engine().onProgress = [this](const CarveProgress& progress) { m_gate.post([this, progress] { setProgress(progress); }); };
        if (!m_gate.call([this, scan] {
                m_scan = scan;
                if (m_copyStop->load()) // stopped while copying: what was copied is scanned, and that is quick
                    scan->engine().cancel();
            }))
            return;
        const auto scanStarted = std::chrono::steady_clock::now();
        CarveReport report = scan->run();
        scanTime = std::chrono::steady_clock::now() - scanStarted;
        ScanSession started { plan.id, {}, plan.name.toStdString(), plan.source, {} };
        if (copied) {
            // The copy reads whole; what the card would not give is the card's to report.
            report.unreadableAreas = copied->unreadable;
            report.badReads = copied->unreadableBlocks;
            // A copy stopped by the user, or by a card pulled out, is scanned as far as it got.
            report.cancelled = report.cancelled || copied->outcome == RescueOutcome::cancelled || copied->outcome == RescueOutcome::deviceGone;
            started.copy = copied->image;
        }
        session = ScanStore::saveFinished(std::move(started), std::move(report));
    } catch (const std::exception& error) {
        std::error_code ignored;
        std::filesystem::remove(plan.folder, ignored); // only when the engine left it empty
        m_gate.call([this, message = QString::fromStdString(error.what())] { fail(message); });
        return;
    }
    makePreviews(session, scan->source(), scanTime);
    std::error_code ignored;
    std::filesystem::remove_all(plan.folder / "tmp", ignored);
    m_gate.call([this, session] { finish(session); });
}

CardCopyResult AppModel::copyCard(const ScanPlan& plan, const ByteSourcePtr& card)
{
    CardCopy copy(card, plan.path, plan.name.toStdString(), *plan.copyFolder);
    m_gate.post([this] { setCopyProgress(ImageProgress {}); });
    CardCopyResult result = copy.run([this](const ImageProgress& progress) { m_gate.post([this, progress] { setCopyProgress(progress); }); },
        [stop = m_copyStop] { return stop->load(); });
    m_gate.post([this] { setCopyProgress(std::nullopt); });
    return result;
}

/// How far the first screenful of a scan's previews has come, between the task
/// making them and the scan waiting to show its results.
struct AppModel::FirstScreenful {
    std::mutex lock;
    std::condition_variable changed;
    int tried { 0 };
    bool ended { false };
};

void AppModel::makePreviews(const ScanSession& session, const ByteSourcePtr& source, std::chrono::steady_clock::duration scanTime)
{
    const auto& files = session.report.files;
    const int total = static_cast<int>(std::min<size_t>(files.size(), INT_MAX));
    if (total == 0)
        return;
    const int firstCount = std::min(total, kFirstScreenful);
    auto batch = std::make_shared<PreviewBatch>(std::vector<CarvedFile>(files.begin(), files.begin() + total), source,
        QString::fromStdString(ScanStore::folder(session).string()));
    bool cancelled = true;
    const bool modelAlive = m_gate.call([&] {
        cancelled = m_previewsCancelled;
        if (cancelled)
            return;
        adoptPreviews(batch, session.id, files);
        setPreviewProgress(WorkProgress { 0, firstCount });
    });
    if (!modelAlive || cancelled)
        return;

    // The results are shown once the first screenful is tried, or when the cap
    // passes first; the batch goes on meanwhile, on a task of its own.
    auto first = std::make_shared<FirstScreenful>();
    startTask([this, batch, first, firstCount, id = session.id] { runPreviews(batch, id, firstCount, first); });
    std::unique_lock lock(first->lock);
    first->changed.wait_until(lock, std::chrono::steady_clock::now() + previewCap(scanTime),
        [&] { return first->ended || first->tried >= firstCount; });
}

void AppModel::adoptPreviews(const std::shared_ptr<PreviewBatch>& batch, const SessionId& id, const std::vector<CarvedFile>& files)
{
    m_previews = batch;
    m_previewsSession = id;
    m_previewIndexByStart.clear();
    for (size_t i = 0; i < files.size(); ++i)
        m_previewIndexByStart.emplace(files[i].start, i);
}

void AppModel::runPreviews(const std::shared_ptr<PreviewBatch>& batch, const SessionId& id, int firstCount,
    const std::shared_ptr<FirstScreenful>& first)
{
    const QString sessionId = QString::fromStdString(id.text());
    batch->run(std::nullopt, [this, first, firstCount, sessionId, raw = batch.get()](int tried, const CarvedFile& file, bool written) {
        bool shown = true;
        if (first) {
            {
                const std::lock_guard lock(first->lock);
                shown = first->tried >= firstCount;
                first->tried = tried;
            }
            first->changed.notify_all();
        }
        if (!shown && tried <= firstCount && static_cast<size_t>(tried) % kPreviewProgressStep == 0)
            m_gate.post([this, raw, tried, firstCount] {
                if (m_previews.get() == raw && m_previewProgress && !m_previewsCancelled)
                    setPreviewProgress(WorkProgress { tried, firstCount });
            });
        if (shown && written)
            m_gate.post([this, sessionId, start = file.start] { emit previewMade(sessionId, start); });
    });
    if (first) {
        {
            const std::lock_guard lock(first->lock);
            first->ended = true;
        }
        first->changed.notify_all();
    }
    m_gate.post([this, batch] {
        if (m_previews == batch)
            m_previews.reset();
    });
}

void AppModel::previewMissing(const SessionId& id)
{
    // One batch at a time, and none beside a scan reading its card.
    if (m_previews || m_scan)
        return;
    startTask([this, id] {
        ScanSession session;
        try {
            session = ScanStore::find(id.text());
        } catch (const std::exception&) {
            return;
        }
        // Only a source read without asking anyone: the card's copy, or an image file.
        const auto* image = std::get_if<ScanSession::Image>(&session.source);
        std::error_code error;
        if (!session.copyUsable() && !(image && std::filesystem::is_regular_file(image->path, error)))
            return;
        const QString folder = QString::fromStdString(ScanStore::folder(session).string());
        std::vector<CarvedFile> missing;
        for (const CarvedFile& file : session.report.files) {
            if (PreviewMaker::previewable(file) && !PreviewMaker::existingPreview(folder, file))
                missing.push_back(file);
        }
        if (missing.empty())
            return;
        ByteSourcePtr source;
        try {
            source = session.openSource(*m_devices, diskImages());
        } catch (const std::exception&) {
            return; // moved, changed or gone: its cells keep their icons
        }
        auto batch = std::make_shared<PreviewBatch>(missing, source, folder);
        bool adopted = false;
        m_gate.call([&] {
            if (m_previews || m_scan) // a scan or another batch began meanwhile
                return;
            adoptPreviews(batch, id, missing);
            adopted = true;
        });
        if (adopted)
            runPreviews(batch, id, 0, nullptr);
    });
}

void AppModel::startTask(std::function<void()> task)
{
    const std::lock_guard lock(m_tasksLock);
    m_tasks.removeIf([](const QFuture<void>& running) { return running.isFinished(); });
    m_tasks.append(Executor::shared().run(std::move(task)));
}

void AppModel::stopPreviews()
{
    if (m_previews)
        m_previews->stop();
    m_previews.reset();
}

void AppModel::previewFirst(const SessionId& id, const std::vector<uint64_t>& starts)
{
    if (!m_previews || !(m_previewsSession == id))
        return;
    std::vector<size_t> indices;
    for (uint64_t start : starts) {
        if (auto found = m_previewIndexByStart.find(start); found != m_previewIndexByStart.end())
            indices.push_back(found->second);
    }
    m_previews->prioritize(indices);
}

void AppModel::finish(const ScanSession& session)
{
    m_scan.reset();
    setPreviewProgress(std::nullopt);
    reloadRecentScans();
    setStage(AppStage::done(session));
}

void AppModel::fail(const QString& message)
{
    m_scan.reset();
    setStage(AppStage::failed(message));
}

void AppModel::cancel()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_previewProgress) {
        m_previewsCancelled = true;
        if (m_previews)
            m_previews->stop(); // the running previews end at once
    }
    m_copyStop->store(true);
    if (m_scan)
        m_scan->engine().cancel();
}

void AppModel::deleteScan(const SessionId& id)
{
    if (m_previews && m_previewsSession == id)
        stopPreviews();
    Executor::shared().run([id] { ScanStore::remove(id); }).then(this, [this] { reloadRecentScans(); });
}

std::optional<ScanSession> AppModel::session(const SessionId& id) const
{
    if (m_stage.kind == AppStage::Kind::done && m_stage.session && m_stage.session->id == id)
        return m_stage.session;
    if (m_browserReturnStage && m_browserReturnStage->kind == AppStage::Kind::done && m_browserReturnStage->session
        && m_browserReturnStage->session->id == id)
        return m_browserReturnStage->session;
    return std::nullopt;
}

std::optional<ScanSummary> AppModel::summary(const SessionId& id) const
{
    if (std::optional<ScanSession> finished = session(id))
        return ScanSummary::of(*finished);
    auto found = std::ranges::find_if(m_recentScans, [&](const ScanSummary& summary) { return summary.id == id; });
    if (found != m_recentScans.end())
        return *found;
    return std::nullopt;
}

void AppModel::browseLatestScan()
{
    if (!m_listed) {
        m_browseLatestWhenListed = true;
        return;
    }
    if (!m_recentScans.empty())
        enterBrowser(BrowseTarget::session(m_recentScans.front().id));
}

void AppModel::enterBrowser(const BrowseTarget& target)
{
    m_browserReturnStage = m_stage;
    setStage(AppStage::browsing(target));
    if (target.kind == BrowseTarget::Kind::session)
        previewMissing(target.sessionId);
}

void AppModel::browsePreviousRecovery()
{
    if (!m_desktop)
        return;
    m_desktop->chooseFolder({ QStringLiteral("Open Saved Files"), QStringLiteral("Choose a folder of files saved by Brightfold Recover"), {} })
        .then(this, [this](std::optional<QString> folder) {
            if (!folder)
                return;
            if (!RecoveredItem::isRecoveryFolder(*folder)) {
                emit alertRequested(QStringLiteral("Not a Folder of Saved Files"),
                    QStringLiteral("%1 holds no files saved by Brightfold Recover (there is no brightfold-report.json in it). "
                                   "Choose a folder that Save Selected made.")
                        .arg(QFileInfo(*folder).fileName()));
                return;
            }
            enterBrowser(BrowseTarget::folder(*folder));
        });
}

void AppModel::exitBrowser()
{
    std::optional<AppStage> back = std::exchange(m_browserReturnStage, std::nullopt);
    if (back && back->kind == AppStage::Kind::done) {
        setStage(*back);
        return;
    }
    setStage(AppStage::setup());
    refreshDisks();
}

void AppModel::returnToSetup()
{
    setStage(AppStage::setup());
    setProgress(std::nullopt);
    refreshDisks();
}

void AppModel::reloadRecentScans()
{
    if (m_settings.testVolume) {
        setRecentScans({});
        return;
    }
    Executor::shared().run(&ScanStore::summaries).then(this, [this](SessionList sessions) {
        setRecentScans(sessions);
        m_listed = true;
        emit recentScansListed();
        if (std::exchange(m_browseLatestWhenListed, false))
            browseLatestScan();
    });
}

void AppModel::setStage(const AppStage& stage)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (changeProperty(this, m_stage, stage, &AppModel::stageChanged))
        updateDerived();
}

void AppModel::setDisks(const DiskList& disks)
{
    changeProperty(this, m_disks, disks, &AppModel::disksChanged);
}

void AppModel::setRefreshing(bool refreshing)
{
    changeProperty(this, m_isRefreshing, refreshing, &AppModel::isRefreshingChanged);
}

void AppModel::setProgress(const OptionalProgress& progress)
{
    Q_ASSERT(QThread::currentThread() == thread());
    // Every snapshot is published, even one equal to the last.
    if (!progress && !m_progress)
        return;
    m_progress = progress;
    emit progressChanged();
    updateDerived();
}

void AppModel::setCopyProgress(const OptionalCopyProgress& progress)
{
    if (!progress && !m_copyProgress)
        return;
    m_copyProgress = progress;
    emit copyProgressChanged();
}

void AppModel::setPreviewProgress(const OptionalWorkProgress& progress)
{
    changeProperty(this, m_previewProgress, progress, &AppModel::previewProgressChanged);
}

void AppModel::setSetupWarning(const OptionalText& warning)
{
    changeProperty(this, m_setupWarning, warning, &AppModel::setupWarningChanged);
}

void AppModel::setRecentScans(const SessionList& sessions)
{
    m_recentScans = sessions;
    emit recentScansChanged();
}

void AppModel::updateDerived()
{
    changeProperty(this, m_step, stepIndex(m_stage), &AppModel::stepChanged);
    changeProperty(this, m_stepStatus, brightfold::stepStatus(m_stage, m_progress), &AppModel::stepStatusChanged);
}

}
