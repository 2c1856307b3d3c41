#pragma once
// Decodes the photos of an import on a second core while the rows are written, in row order and
// never far ahead, so a large import neither waits for decoding nor holds every bitmap at once.

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

    // jobs in row order; ahead: how many finished bitmaps may wait unclaimed.
    explicit PhotoPipeline(std::vector<Job> jobs, size_t ahead = 64);
    ~PhotoPipeline();
    PhotoPipeline(const PhotoPipeline&) = delete;
    PhotoPipeline& operator=(const PhotoPipeline&) = delete;

    // The bitmap of a row (null when the photo could not be read). false when the row is not a
    // job of this pipeline, or was passed over: the caller converts it itself then.
    bool Take(int row, QByteArray& bitmap);

private:
    void run();

    std::vector<Job> m_jobs;
    size_t m_ahead;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_done; // results of jobs [m_next, m_next + size)
    size_t m_next = 0;             // first job not yet taken
    bool m_stop = false;
    std::thread m_worker;
};
