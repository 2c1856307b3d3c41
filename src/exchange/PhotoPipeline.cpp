#include "PhotoPipeline.h"

#include "ConvertPhoto.h"

#include <stdexcept>

PhotoPipeline::PhotoPipeline(size_t ahead, unsigned workers, PhotoSources sources)
    : m_ahead(ahead ? ahead : 1), m_sources(std::move(sources))
{
    start(workers);
}

PhotoPipeline::PhotoPipeline(std::vector<Job> jobs, size_t ahead) : m_ahead(ahead ? ahead : 1)
{
    for (const Job& job : jobs)
        m_slots.push_back({job.row, job.photo, QByteArray()});
    start(0);
}

void PhotoPipeline::start(unsigned workers)
{
    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { run(); });
}

PhotoPipeline::~PhotoPipeline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

void PhotoPipeline::Add(int row, QByteArray png) { push({row, nullptr, std::move(png)}); }

void PhotoPipeline::Add(int row, qint64 rowid)
{
    Slot slot{row, nullptr, QByteArray()};
    slot.rowid = rowid;
    push(std::move(slot));
}

void PhotoPipeline::push(Slot slot)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_slots.push_back(std::move(slot));
    }
    m_work.notify_one();
}

void PhotoPipeline::complete(Slot& job, std::unique_ptr<PhotoSource>& source) const
{
    if (job.rowid >= 0) {
        try {
            if (!source) {
                if (!m_sources)
                    throw std::runtime_error("no photo source");
                source = m_sources();
            }
            job.png = source->Photo(job.rowid);
        } catch (const std::exception& e) {
            job.error = QString::fromUtf8(e.what());
            return;
        }
    }
    job.bitmap = decode(job.stream, job.png);
    job.png = QByteArray();
}

QByteArray PhotoPipeline::decode(const TMemoryStream* stream, const QByteArray& png)
{
    QByteArray bitmap;
    try {
        if (stream || png.isNull())
            ConvertPhoto(stream, bitmap, nullptr);
        else
            ConvertPhoto(png.constData(), static_cast<size_t>(png.size()), bitmap, nullptr);
    } catch (...) {
        bitmap = QByteArray(); // out of memory for one photo: that holder goes without
    }
    return bitmap;
}

bool PhotoPipeline::startable() const { return m_started < m_slots.size() && m_started < m_ahead; }

void PhotoPipeline::run()
{
    std::unique_ptr<PhotoSource> source; // this thread's own
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || startable(); });
        if (m_stop)
            return;
        // Slots are only removed from the front, and only once done or never started, so this
        // one stays in place (a deque keeps references to its elements while only its ends change).
        Slot& slot = m_slots[m_started++];
        slot.started = true;
        Slot job{slot.row, slot.stream, std::move(slot.png)};
        job.rowid = slot.rowid;
        lock.unlock();
        complete(job, source);
        lock.lock();
        slot.bitmap = std::move(job.bitmap);
        slot.error = std::move(job.error);
        slot.done = true;
        if (m_callerWaiting)
            m_done.notify_one();
    }
}

bool PhotoPipeline::Take(int row, QByteArray& bitmap, QString* error)
{
    if (error)
        error->clear();
    std::unique_lock<std::mutex> lock(m_mutex);
    // Jobs of rows the caller has passed are dropped: a started one once it is done.
    while (!m_slots.empty() && m_slots.front().row < row) {
        if (m_slots.front().started)
            waitForFront(lock);
        m_slots.pop_front();
        if (m_started > 0)
            --m_started;
    }
    if (startable())
        m_work.notify_one();
    if (m_slots.empty() || m_slots.front().row != row)
        return false;
    if (!m_slots.front().started) {
        // Not reached by the workers yet (none free): decode it here rather than wait.
        Slot slot = std::move(m_slots.front());
        m_slots.pop_front();
        lock.unlock();
        complete(slot, m_callerSource);
        bitmap = std::move(slot.bitmap);
        if (error)
            *error = slot.error;
        return true;
    }
    waitForFront(lock);
    bitmap = std::move(m_slots.front().bitmap);
    if (error)
        *error = m_slots.front().error;
    m_slots.pop_front();
    --m_started;
    if (startable())
        m_work.notify_one(); // a worker held back by the distance ahead may go on
    return true;
}

void PhotoPipeline::waitForFront(std::unique_lock<std::mutex>& lock)
{
    m_callerWaiting = true;
    m_done.wait(lock, [&] { return m_slots.front().done; });
    m_callerWaiting = false;
}
