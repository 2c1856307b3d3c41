#include "GrowingFileHash.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// MD5 through libcrypto's assembler code, fast enough to keep up with a copy.
class Md5 {
public:
    Md5() : m_ctx(EVP_MD_CTX_new()) { m_ok = m_ctx && EVP_DigestInit_ex(m_ctx, EVP_md5(), nullptr) == 1; }
    ~Md5() { EVP_MD_CTX_free(m_ctx); }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    void Add(const char* data, qint64 size) { m_ok = m_ok && EVP_DigestUpdate(m_ctx, data, size_t(size)) == 1; }
    // Lower-case hex; empty after a failure.
    QByteArray Hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_ctx, digest, &size) != 1)
            return QByteArray();
        return QByteArray(reinterpret_cast<const char*>(digest), int(size)).toHex();
    }

private:
    EVP_MD_CTX* m_ctx;
    bool m_ok = false;
};

constexpr size_t kChunk = 1 << 20;

// Adds what the file holds from where it stands to its current end; false on a read error or
// when told to stop.
bool addToEnd(QFile& file, std::vector<char>& buffer, Md5& hash, qint64& hashed, const std::atomic<bool>& stop)
{
    while (!stop) {
        const qint64 n = file.read(buffer.data(), qint64(buffer.size()));
        if (n <= 0)
            return n == 0;
        hash.Add(buffer.data(), n);
        hashed += n;
    }
    return false;
}

} // namespace

QByteArray Md5OfFile(const QString& path)
{
    QFile file(path);
    Md5 hash;
    std::vector<char> buffer(kChunk);
    qint64 hashed = 0;
    const std::atomic<bool> never{false};
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !addToEnd(file, buffer, hash, hashed, never))
        return QByteArray();
    return hash.Hex();
}

struct GrowingFileMd5::State {
    QString path;
    std::mutex mutex;
    std::condition_variable wake;
    bool writerDone = false;
    std::atomic<bool> abandon{false};
    QByteArray result;
    qint64 hashed = 0;
    std::thread thread;

    void run()
    {
        QFile file(path);
        Md5 hash;
        std::vector<char> buffer(kChunk);
        while (!abandon) {
            bool done;
            {
                std::lock_guard<std::mutex> lock(mutex);
                done = writerDone; // taken before reading: what is read after it is all there is
            }
            if (file.isOpen() || file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
                if (!addToEnd(file, buffer, hash, hashed, abandon))
                    return;
            }
            if (done)
                break;
            // At the end of what the writer has written so far, or before it has begun.
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return writerDone || abandon; });
        }
        if (file.isOpen() && !abandon)
            result = hash.Hex();
    }

    void stop(bool finished)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (finished)
                writerDone = true;
            else
                abandon = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
};

GrowingFileMd5::GrowingFileMd5(QString path) : m(std::make_unique<State>())
{
    m->path = std::move(path);
    m->thread = std::thread([state = m.get()] { state->run(); });
}

GrowingFileMd5::~GrowingFileMd5() { m->stop(false); }

QByteArray GrowingFileMd5::Finish()
{
    m->stop(true);
    // adb writes a pulled file once, from its start to its end. A file that was replaced or cut
    // meanwhile ends at another size than what was read: it is read again whole instead.
    if (m->result.isEmpty() || QFileInfo(m->path).size() != m->hashed)
        return Md5OfFile(m->path);
    return m->result;
}
