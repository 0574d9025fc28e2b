#include "workflow/ThumbnailService.hpp"

#include "FrameReader.hpp"
#include "PreviewFamily.hpp"
#include "ThumbnailMessages.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#ifndef BRIGHTFOLD_THUMBNAILER_BUILT
#define BRIGHTFOLD_THUMBNAILER_BUILT ""
#endif
#ifndef BRIGHTFOLD_THUMBNAILER_INSTALLED
#define BRIGHTFOLD_THUMBNAILER_INSTALLED "/usr/local/libexec/brightfold-recover/brightfold-thumbnailer"
#endif

namespace brightfold {

namespace {

constexpr int kShutdownWaitMs = 1000;
const char* const kWorkerName = "brightfold-thumbnailer";

bool isExecutable(const QString& path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && info.isExecutable();
}

uint16_t clampedSide(int side)
{
    return static_cast<uint16_t>(std::clamp(side, 0, int { thumbnail::kMaxSide }));
}

QImage imageFrom(const ThumbnailPixels& pixels)
{
    QImage image(pixels.width, pixels.height, QImage::Format_RGBA8888);
    if (image.isNull())
        return image;
    const size_t rowBytes = size_t { pixels.width } * 4;
    for (int row = 0; row < image.height(); ++row)
        std::memcpy(image.scanLine(row), pixels.rgba.data() + rowBytes * static_cast<size_t>(row), rowBytes);
    return image;
}

}

ThumbnailService::ThumbnailService(QString workerPath, std::optional<std::chrono::milliseconds> deadline)
    : m_workerPath(std::move(workerPath))
    , m_deadline(deadline)
{
}

ThumbnailService::~ThumbnailService()
{
    if (!m_worker)
        return;
    // The worker leaves at the end of its input; one that does not is killed.
    m_worker->closeWriteChannel();
    if (!m_worker->waitForFinished(kShutdownWaitMs))
        discardWorker();
}

QString ThumbnailService::defaultWorkerPath()
{
    const QString fromEnvironment = qEnvironmentVariable("BRIGHTFOLD_THUMBNAILER");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    if (QCoreApplication::instance() != nullptr) {
        const QString beside = QCoreApplication::applicationDirPath() + '/' + kWorkerName;
        if (isExecutable(beside))
            return beside;
    }
    const QString built = QStringLiteral(BRIGHTFOLD_THUMBNAILER_BUILT);
    if (isExecutable(built))
        return built;
    return QStringLiteral(BRIGHTFOLD_THUMBNAILER_INSTALLED);
}

std::chrono::milliseconds ThumbnailService::deadlineFor(std::optional<PreviewFamily> family)
{
    if (!family)
        return kPictureDeadline;
    switch (*family) {
    case PreviewFamily::video:
        return kVideoDeadline;
    case PreviewFamily::document:
        return kDocumentDeadline;
    case PreviewFamily::picture:
    case PreviewFamily::rawPhoto:
    case PreviewFamily::heif:
        return kPictureDeadline;
    }
    return kPictureDeadline;
}

std::chrono::milliseconds ThumbnailService::deadlineFor(const std::string& ext) const
{
    return m_deadline ? *m_deadline : deadlineFor(previewFamilyFor(ext));
}

std::optional<QImage> ThumbnailService::thumbnail(const QString& path, QSize target)
{
    ThumbnailRequest request;
    request.path = path.toStdString();
    request.maxWidth = clampedSide(target.width());
    request.maxHeight = clampedSide(target.height());
    if (!request.isValid())
        return std::nullopt;
    return ask(request, nullptr);
}

std::optional<QImage> ThumbnailService::thumbnail(const QString& ext, uint64_t expectedBytes, const ByteReader& read, QSize target, int enoughSide)
{
    ThumbnailRequest request;
    request.ext = ext.toLower().toStdString();
    request.expectedBytes = std::min(expectedBytes, thumbnail::kMaxHandedBytes);
    request.maxWidth = clampedSide(target.width());
    request.maxHeight = clampedSide(target.height());
    request.enoughSide = clampedSide(enoughSide);
    if (!request.isValid())
        return std::nullopt;
    return ask(request, &read);
}

std::optional<QImage> ThumbnailService::ask(const ThumbnailRequest& request, const ByteReader* read)
{
    const std::string ext = request.handsBytes() ? request.ext : QFileInfo(QString::fromStdString(request.path)).suffix().toLower().toStdString();
    const std::chrono::milliseconds deadline = deadlineFor(ext);
    // A worker that has used up its CPU time leaves without reading the next
    // request: a fresh one is asked again, once.
    for (int attempt = 0;; ++attempt) {
        if (m_stopped)
            return failFile();
        auto reply = exchange(request, read, deadline);
        if (!reply && attempt == 0 && workerRetired())
            continue;
        if (!reply)
            return failFile();
        if (!reply->image)
            return std::nullopt;
        QImage image = imageFrom(*reply->image);
        if (image.isNull())
            return std::nullopt;
        return image;
    }
}

std::optional<ThumbnailReply> ThumbnailService::exchange(const ThumbnailRequest& request, const ByteReader* read, std::chrono::milliseconds deadline)
{
    // Output nobody asked for means the worker is out of step: start afresh.
    if (m_worker && (m_worker->state() != QProcess::Running || m_worker->bytesAvailable() > 0 || m_worker->waitForReadyRead(0)))
        discardWorker();
    if (!m_worker && !startWorker(static_cast<int>(deadline.count())))
        return std::nullopt;

    if (!sendFrame(encodeRequest(request), deadline))
        return std::nullopt;
    if (read != nullptr) {
        uint64_t handed = 0;
        for (;;) {
            std::vector<uint8_t> piece = (*read)(handed);
            // The worker refuses more than a previewed file may have: so do we.
            if (piece.empty() || piece.size() > thumbnail::kMaxHandedBytes - handed)
                break;
            handed += piece.size();
            for (size_t at = 0; at < piece.size(); at += thumbnail::kMaxPieceBytes) {
                const size_t count = std::min<size_t>(thumbnail::kMaxPieceBytes, piece.size() - at);
                if (!sendFrame(encodeBytesPiece(std::span(piece).subspan(at, count)), deadline))
                    return std::nullopt;
            }
        }
        if (!sendFrame(encodeBytesEnd(), deadline))
            return std::nullopt;
    }

    const QDeadlineTimer replyDeadline(deadline);
    auto remainingMs = [&replyDeadline] { return static_cast<int>(std::max<qint64>(replyDeadline.remainingTime(), 0)); };
    FrameReader reader(thumbnail::kMaxReplyPayloadBytes);
    for (;;) {
        const QByteArray arrived = m_worker->readAllStandardOutput();
        reader.append(std::span(reinterpret_cast<const uint8_t*>(arrived.constData()), static_cast<size_t>(arrived.size())));
        if (auto payload = reader.takeFrame()) {
            auto reply = decodeReply(*payload, request);
            // One reply per request: anything more means the worker is out of step.
            if (!reply || reader.bufferedBytes() > 0)
                return std::nullopt;
            return reply;
        }
        if (reader.isBroken() || m_worker->state() != QProcess::Running || replyDeadline.hasExpired())
            return std::nullopt;
        // False on a timeout and when the worker has ended; the loop tells them apart.
        m_worker->waitForReadyRead(remainingMs());
    }
}

bool ThumbnailService::workerRetired() const
{
    return m_worker && m_worker->state() == QProcess::NotRunning && m_worker->exitStatus() == QProcess::NormalExit
        && m_worker->exitCode() == thumbnail::kExitRetired;
}

bool ThumbnailService::sendFrame(const std::vector<uint8_t>& payload, std::chrono::milliseconds deadline)
{
    const QDeadlineTimer timer(deadline);
    const std::vector<uint8_t> frame = encodeFrame(payload);
    m_worker->write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
    while (m_worker->bytesToWrite() > 0) {
        if (m_worker->state() != QProcess::Running || timer.hasExpired())
            return false;
        m_worker->waitForBytesWritten(static_cast<int>(std::max<qint64>(timer.remainingTime(), 0)));
    }
    return true;
}

void ThumbnailService::stop()
{
    m_stopped = true;
    // The pid is cleared before the worker is reaped (discardWorker), so a pid
    // read here still names our worker, or a worker that has just died.
    const std::lock_guard lock(m_pidMutex);
    if (const qint64 pid = m_workerPid.load(); pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

bool ThumbnailService::startWorker(int remainingMs)
{
    m_worker = std::make_unique<QProcess>();
    m_worker->setProgram(m_workerPath);
    m_worker->setProcessChannelMode(QProcess::SeparateChannels);
    m_worker->setStandardErrorFile(QProcess::nullDevice());
    // A worker never outlives the application, however it ends (a quit mid-preview, a crash):
    // the kernel kills it when the thread that started it is gone.
    m_worker->setChildProcessModifier([parent = ::getpid()] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) // gone already, before the request took
            ::_exit(127);
    });
    m_worker->start(QIODevice::ReadWrite);
    if (!m_worker->waitForStarted(remainingMs)) {
        discardWorker();
        return false;
    }
    const std::lock_guard lock(m_pidMutex);
    m_workerPid = m_worker->processId();
    if (m_stopped) // stopped while it started
        ::kill(static_cast<pid_t>(m_workerPid.load()), SIGKILL);
    return true;
}

void ThumbnailService::discardWorker()
{
    if (!m_worker)
        return;
    {
        const std::lock_guard lock(m_pidMutex);
        m_workerPid = 0;
    }
    if (m_worker->state() != QProcess::NotRunning) {
        m_worker->kill();
        m_worker->waitForFinished(kShutdownWaitMs);
    }
    m_worker.reset();
}

std::optional<QImage> ThumbnailService::failFile()
{
    // A file cut short by stop() was not lost to the worker.
    if (!m_stopped)
        ++m_failedFiles;
    discardWorker();
    return std::nullopt;
}

}
