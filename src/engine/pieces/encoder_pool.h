#pragma once

// The ffmpeg children that encode finished pieces while the decode goes on, and the scratch
// files between the decode and them: one owner for both, so that one call stops every child and
// removes every scratch file, whatever ends the run.

#include "brevane.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace brevane::detail {

class EncoderPool {
public:
    // One piece to encode: ffmpeg's arguments read samplesPath and write encodedPath (named as
    // childOutputPath gives it). Once the child has succeeded, its muxer has reported no failure
    // and finishing (when set) has done its part on encodedPath, that file takes the name
    // piecePath in one step and samplesPath is removed.
    struct Job {
        QString samplesPath;
        QString encodedPath;
        QString piecePath;
        QStringList arguments;
        std::function<bool(const QString& encodedPath, QString* errorMessage)> finishing;
    };

    // Runs up to `workers` children at once, and holds at most `held` pieces that were handed
    // over and are not yet done. stop, when set, reaches the children as it reaches every other
    // child of the split; a piece stopped so fails with "Split stopped".
    EncoderPool(int workers, int held, SplitStop* stop = nullptr);
    // stop().
    ~EncoderPool();
    EncoderPool(const EncoderPool&) = delete;
    EncoderPool& operator=(const EncoderPool&) = delete;

    // One child for each core of the machine.
    static int machineWorkers();

    // Makes path one of the scratch files that stop() removes, and removes whatever an earlier
    // run left under that name. Returns path.
    QString claimScratch(const QString& path);

    // Hands a complete piece over, claiming its encoded file as scratch. Waits while the pool
    // holds `held` pieces. Fails with the first failure of any piece so far: "Failed to run
    // ffmpeg: %1", "ffmpeg exited with code %1: %2", finishing's message, or "Failed to write
    // %1: %2" for a piece cut off or that could not take its name.
    bool submit(Job job, QString* errorMessage);

    // Waits until every piece handed over is done; piecesDone, when set, hears on this thread
    // how many are, each time that grows. Fails as submit does.
    bool finish(
        QString* errorMessage, const std::function<void(qsizetype piecesDone)>& piecesDone = {});

    // Stops every child and waits for it, then removes every scratch file left. Pieces that
    // already have their names stay. The pool takes no piece afterwards; a second call does
    // nothing.
    void stop();

    // The pieces that have taken their names, in the order they did.
    QStringList piecesNamed();

private:
    void work();
    // Runs one job's child; false with a message when it failed, without one when stopped.
    bool encode(const Job& job, QString* errorMessage);

    const int m_held;
    SplitStop* const m_stop;
    std::mutex m_mutex;
    // Signalled whenever a piece is queued, started, done or failed, and on stop.
    std::condition_variable m_changed;
    std::deque<Job> m_queued;
    int m_running = 0;
    qsizetype m_done = 0;
    bool m_failed = false;
    QString m_failure;
    std::set<QString> m_scratch;
    QStringList m_named;
    // Read by the children's waits, which stop their child when it is set.
    std::atomic<bool> m_stopping { false };
    std::vector<std::thread> m_workers;
};

} // namespace brevane::detail
