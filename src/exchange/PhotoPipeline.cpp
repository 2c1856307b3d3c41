#include "PhotoPipeline.h"

#include "ReadingLogImport.h"

PhotoPipeline::PhotoPipeline(std::vector<Job> jobs, size_t ahead) : m_jobs(std::move(jobs)), m_ahead(ahead ? ahead : 1)
{
    if (!m_jobs.empty())
        m_worker = std::thread([this] { run(); });
}

PhotoPipeline::~PhotoPipeline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void PhotoPipeline::run()
{
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stop || m_done.size() < m_ahead; });
            if (m_stop)
                return;
        }
        QByteArray bitmap;
        try {
            ConvertPhoto(m_jobs[i].photo, bitmap, nullptr);
        } catch (...) {
            bitmap = QByteArray(); // out of memory for one photo: that holder goes without
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.push_back(std::move(bitmap));
        }
        m_changed.notify_all();
    }
}

bool PhotoPipeline::Take(int row, QByteArray& bitmap)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Jobs of rows the import has passed are dropped.
    while (m_next < m_jobs.size() && m_jobs[m_next].row < row) {
        m_changed.wait(lock, [&] { return !m_done.empty(); });
        m_done.pop_front();
        ++m_next;
        m_changed.notify_all();
    }
    if (m_next >= m_jobs.size() || m_jobs[m_next].row != row)
        return false;
    m_changed.wait(lock, [&] { return !m_done.empty(); });
    bitmap = std::move(m_done.front());
    m_done.pop_front();
    ++m_next;
    m_changed.notify_all();
    return true;
}
