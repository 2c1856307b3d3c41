#pragma once
// Decodes the photos of an import on every core while the rows are written, handed back in row
// order and never more than a bounded number of jobs ahead, so a large import neither waits for
// decoding nor holds every bitmap at once.

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TMemoryStream;

// Reads photos by the row id of their row; each thread that reads gets one of its own.
class PhotoSource {
public:
    virtual ~PhotoSource() = default;
    // The photo's bytes, null when the row has none; raises when it cannot be read at all.
    virtual QByteArray Photo(qint64 rowid) = 0;
};
using PhotoSources = std::function<std::unique_ptr<PhotoSource>()>;

class PhotoPipeline {
public:
    struct Job {
        int row;
        const TMemoryStream* photo; // owned by the result table, only read here
    };

    // Jobs given as they come (Add); ahead: how many jobs past the first unclaimed one may be
    // decoded; workers: decoding threads, 0 for one per core.
    // sources: makes a reader for jobs given by row id (raises when it cannot).
    explicit PhotoPipeline(size_t ahead = 64, unsigned workers = 0, PhotoSources sources = {});
    // Every job known at once, in row order.
    explicit PhotoPipeline(std::vector<Job> jobs, size_t ahead = 64);
    ~PhotoPipeline();
    PhotoPipeline(const PhotoPipeline&) = delete;
    PhotoPipeline& operator=(const PhotoPipeline&) = delete;

    // A job for a row after every row added before; png: the photo's bytes (null: none).
    void Add(int row, QByteArray png);
    // The same for a photo the worker reads itself by its row id, so that reading it costs the
    // caller nothing.
    void Add(int row, qint64 rowid);

    // The bitmap of a row (null when the photo could not be decoded). false when the row is not a
    // job of this pipeline, or was passed over: the caller converts it itself then. Jobs of rows
    // before it are dropped. error: why the photo could not be read at all (the row fails then).
    bool Take(int row, QByteArray& bitmap, QString* error = nullptr);

private:
    struct Slot {
        int row;
        const TMemoryStream* stream;
        QByteArray png;
        qint64 rowid = -1; // read here when not negative
        bool started = false;
        bool done = false;
        QByteArray bitmap;
        QString error;
    };

    void push(Slot slot);
    static QByteArray decode(const TMemoryStream* stream, const QByteArray& png);
    // Reads the slot's photo when it is given by row id, then decodes it.
    void complete(Slot& job, std::unique_ptr<PhotoSource>& source) const;
    void start(unsigned workers);
    void run();
    bool startable() const;

    size_t m_ahead;
    PhotoSources m_sources;
    std::unique_ptr<PhotoSource> m_callerSource; // for jobs the caller decodes itself
    // Waits, with the lock held, until the front job is done.
    void waitForFront(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    // One wake-up per job, not one for every thread on every change.
    std::condition_variable m_work; // workers: a job can be started, or stop
    std::condition_variable m_done; // the caller: a job is done
    bool m_callerWaiting = false;
    std::deque<Slot> m_slots; // jobs not yet taken, in row order
    size_t m_started = 0;     // of m_slots, how many from the front have been started
    bool m_stop = false;
    std::vector<std::thread> m_workers;
};
