#include "MemoryStream.h"

#include <algorithm>
#include <cstring>

int64_t TStream::Seek(int64_t offset, TSeekOrigin origin)
{
    int64_t base = 0;
    switch (origin) {
    case TSeekOrigin::Beginning: base = 0; break;
    case TSeekOrigin::Current: base = Position(); break;
    case TSeekOrigin::End: base = Size(); break;
    }
    SetPosition(base + offset);
    return Position();
}

TMemoryStream::TMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}

TMemoryStream::TMemoryStream(const void* data, size_t n)
    : bytes_(static_cast<const char*>(data), n)
{
}

int64_t TMemoryStream::Size() const { return static_cast<int64_t>(bytes_.size()); }

int64_t TMemoryStream::Position() const { return static_cast<int64_t>(pos_); }

void TMemoryStream::SetPosition(int64_t pos)
{
    pos_ = static_cast<size_t>(std::clamp<int64_t>(pos, 0, Size()));
}

size_t TMemoryStream::Read(void* buf, size_t n)
{
    const size_t count = std::min(n, bytes_.size() - pos_);
    if (count > 0)
        std::memcpy(buf, bytes_.data() + pos_, count);
    pos_ += count;
    return count;
}

size_t TMemoryStream::Write(const void* buf, size_t n)
{
    if (n == 0)
        return 0;
    if (pos_ + n > bytes_.size())
        bytes_.resize(pos_ + n);
    std::memcpy(&bytes_[pos_], buf, n);
    pos_ += n;
    return n;
}

void TMemoryStream::Clear()
{
    bytes_.clear();
    pos_ = 0;
}

const char* TMemoryStream::Data() const { return bytes_.data(); }
