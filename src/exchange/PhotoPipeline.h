#pragma once
// Decodes the photos of an import on every core while the rows are written, handed back in row
// order and never more than a bounded number of jobs ahead, so a large import neither waits for
// decoding nor holds every bitmap at once.

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class TMemoryStream;

class PhotoPipeline {
public:
    struct Job {
        int row;
        const TMemoryStream* photo; // owned by the result table, only read here
    };

    // Jobs given as they come (Add); ahead: how many jobs past the first unclaimed one may be
    // decoded; workers: decoding threads, 0 for one per core.
    explicit PhotoPipeline(size_t ahead = 64, unsigned workers = 0);
    // Every job known at once, in row order.
    explicit PhotoPipeline(std::vector<Job> jobs, size_t ahead = 64);
    ~PhotoPipeline();
    PhotoPipeline(const PhotoPipeline&) = delete;
    PhotoPipeline& operator=(const PhotoPipeline&) = delete;

    // A job for a row after every row added before; png: the photo's bytes (null: none).
    void Add(int row, QByteArray png);

    // The bitmap of a row (null when the photo could not be read). false when the row is not a
    // job of this pipeline, or was passed over: the caller converts it itself then. Jobs of rows
    // before it are dropped.
    bool Take(int row, QByteArray& bitmap);

private:
    struct Slot {
        int row;
        const TMemoryStream* stream;
        QByteArray png;
        bool started = false;
        bool done = false;
        QByteArray bitmap;
    };

    static QByteArray decode(const TMemoryStream* stream, const QByteArray& png);
    void start(unsigned workers);
    void run();
    bool startable() const;

    size_t m_ahead;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Slot> m_slots; // jobs not yet taken, in row order
    size_t m_started = 0;     // of m_slots, how many from the front have been started
    bool m_stop = false;
    std::vector<std::thread> m_workers;
};
