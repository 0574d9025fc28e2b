#include "workflow/ThumbnailService.hpp"

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

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

ThumbnailService::ThumbnailService(QString workerPath, std::chrono::milliseconds deadline)
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

ThumbnailService& ThumbnailService::forThisThread()
{
    thread_local ThumbnailService service;
    return service;
}

std::optional<QImage> ThumbnailService::thumbnail(const QString& path, QSize target)
{
    ThumbnailRequest request;
    request.path = path.toStdString();
    request.maxWidth = static_cast<uint16_t>(std::clamp(target.width(), 0, int { thumbnail::kMaxSide }));
    request.maxHeight = static_cast<uint16_t>(std::clamp(target.height(), 0, int { thumbnail::kMaxSide }));
    if (!request.isValid())
        return std::nullopt;

    const QDeadlineTimer deadline(m_deadline);
    const std::vector<uint8_t> frame = encodeFrame(encodeRequest(request));
    // A worker that has used up its CPU time leaves without reading the next
    // request: a fresh one is asked again, once.
    for (int attempt = 0;; ++attempt) {
        auto reply = exchange(frame, request, deadline);
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

std::optional<ThumbnailReply> ThumbnailService::exchange(const std::vector<uint8_t>& frame, const ThumbnailRequest& request,
    const QDeadlineTimer& deadline)
{
    auto remainingMs = [&deadline] { return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)); };
    // Output nobody asked for means the worker is out of step: start afresh.
    if (m_worker && (m_worker->state() != QProcess::Running || m_worker->bytesAvailable() > 0 || m_worker->waitForReadyRead(0)))
        discardWorker();
    if (!m_worker && !startWorker(remainingMs()))
        return std::nullopt;

    m_worker->write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
    while (m_worker->bytesToWrite() > 0) {
        if (!m_worker->waitForBytesWritten(remainingMs()))
            return std::nullopt;
    }

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
        if (reader.isBroken() || m_worker->state() != QProcess::Running || deadline.hasExpired())
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

bool ThumbnailService::startWorker(int remainingMs)
{
    m_worker = std::make_unique<QProcess>();
    m_worker->setProgram(m_workerPath);
    m_worker->setProcessChannelMode(QProcess::SeparateChannels);
    m_worker->setStandardErrorFile(QProcess::nullDevice());
    m_worker->start(QIODevice::ReadWrite);
    if (!m_worker->waitForStarted(remainingMs)) {
        discardWorker();
        return false;
    }
    return true;
}

void ThumbnailService::discardWorker()
{
    if (!m_worker)
        return;
    if (m_worker->state() != QProcess::NotRunning) {
        m_worker->kill();
        m_worker->waitForFinished(kShutdownWaitMs);
    }
    m_worker.reset();
}

std::optional<QImage> ThumbnailService::failFile()
{
    ++m_failedFiles;
    discardWorker();
    return std::nullopt;
}

}
