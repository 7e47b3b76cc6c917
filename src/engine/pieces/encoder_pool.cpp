#include "pieces/encoder_pool.h"

#include "error_text.h"
#include "ffmpeg_child.h"
#include "folder/piece_names.h"
#include "pieces/written_piece.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace brevane::detail {

namespace {

    // How often a child's wait looks whether the pool is stopping: the delay of a stop, not a
    // time any result depends on.
    constexpr int stopCheckMs = 50;

    void removeEntry(const QString& path) { ::unlink(QFile::encodeName(path).constData()); }

} // namespace

EncoderPool::EncoderPool(int workers, int held, SplitStop* stop)
    : m_held(std::max(held, 1))
    , m_stop(stop)
{
    const int count = std::max(workers, 1);
    m_workers.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        m_workers.emplace_back([this] { work(); });
}

EncoderPool::~EncoderPool() { stop(); }

int EncoderPool::machineWorkers() { return int(std::max(std::thread::hardware_concurrency(), 1u)); }

QString EncoderPool::claimScratch(const QString& path)
{
    removeEntry(path);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_scratch.insert(path);
    return path;
}

bool EncoderPool::submit(Job job, QString* errorMessage)
{
    claimScratch(job.encodedPath);
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] {
            return m_failed || m_stopping || qsizetype(m_queued.size()) + m_running < m_held;
        });
        if (m_failed)
            return fail(errorMessage, m_failure);
        if (m_stopping)
            return false;
        m_queued.push_back(std::move(job));
    }
    m_changed.notify_all();
    return true;
}

bool EncoderPool::finish(
    QString* errorMessage, const std::function<void(qsizetype piecesDone)>& piecesDone)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    qsizetype reported = 0;
    for (;;) {
        m_changed.wait(lock,
            [&] { return m_failed || m_done != reported || (m_queued.empty() && m_running == 0); });
        if (m_failed)
            return fail(errorMessage, m_failure);
        if (m_done != reported && piecesDone) {
            reported = m_done;
            lock.unlock();
            piecesDone(reported);
            lock.lock();
            continue;
        }
        reported = m_done;
        if (m_queued.empty() && m_running == 0)
            return true;
    }
}

void EncoderPool::stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queued.clear();
    }
    m_changed.notify_all();
    for (std::thread& worker : m_workers) {
        if (worker.joinable())
            worker.join();
    }
    // The children are gone, so nothing writes to these any more.
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const QString& path : m_scratch)
        removeEntry(path);
    m_scratch.clear();
}

QStringList EncoderPool::piecesNamed()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_named;
}

void EncoderPool::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_queued.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_queued.front());
            m_queued.pop_front();
            ++m_running;
        }
        QString failure;
        const bool encoded = encode(job, &failure);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            --m_running;
            if (encoded) {
                ++m_done;
                m_scratch.erase(job.samplesPath);
                m_scratch.erase(job.encodedPath);
                m_named.append(job.piecePath);
            } else if (!m_stopping) {
                // The first failure ends the run: the other children are stopped, and the
                // pieces done so far stay.
                m_failed = true;
                m_failure = failure;
                m_stopping = true;
                m_queued.clear();
            }
        }
        m_changed.notify_all();
    }
}

bool EncoderPool::encode(const Job& job, QString* errorMessage)
{
    FfmpegChild child(job.arguments, m_stop);
    QProcess& encoder = child.process();
    child.start();
    if (!encoder.waitForStarted(-1))
        return fail(errorMessage, trText("Failed to run ffmpeg: %1").arg(encoder.errorString()));
    while (!child.waitForFinished(stopCheckMs) && encoder.state() != QProcess::NotRunning) {
        if (m_stopping) {
            child.kill();
            child.waitForFinished(-1);
            return false;
        }
    }
    // Its output is scratch, of no use once the split stops.
    if (child.stopRequested())
        return failStopped(errorMessage);
    if (encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0)
        return fail(
            errorMessage, ffmpegExitMessage(encoder.exitCode(), encoder.readAllStandardError()));
    // A piece cut off by a full disk must never take the piece's name.
    if (!checkMuxerReport(encoder.readAllStandardError(), childOutputPath(job.encodedPath),
            job.piecePath, errorMessage))
        return false;
    if (job.finishing && !job.finishing(job.encodedPath, errorMessage))
        return false;
    if (std::rename(QFile::encodeName(job.encodedPath).constData(),
            QFile::encodeName(job.piecePath).constData())
        != 0)
        return fail(errorMessage,
            trText("Failed to write %1: %2")
                .arg(job.piecePath, QString::fromLocal8Bit(std::strerror(errno))));
    removeEntry(job.samplesPath);
    return true;
}

} // namespace brevane::detail
