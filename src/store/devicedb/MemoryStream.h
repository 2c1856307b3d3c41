#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Minimal readable, rewindable streams for BLOB values.

enum class TSeekOrigin { Beginning, Current, End };

class TStream {
public:
    virtual ~TStream() = default;

    virtual int64_t Size() const = 0;
    virtual int64_t Position() const = 0;
    virtual void SetPosition(int64_t pos) = 0;
    // Reads up to n bytes at the position and advances it; returns the count read.
    virtual size_t Read(void* buf, size_t n) = 0;

    // Returns the new position.
    int64_t Seek(int64_t offset, TSeekOrigin origin);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes);
    TMemoryStream(const void* data, size_t n);

    int64_t Size() const override;
    int64_t Position() const override;
    // Positions are kept inside 0..Size so Read and Data() + Position() stay in bounds.
    void SetPosition(int64_t pos) override;
    size_t Read(void* buf, size_t n) override;

    // Writes at the position, growing the stream as needed.
    size_t Write(const void* buf, size_t n);
    void Clear();

    // Never null, also for an empty stream.
    const char* Data() const;

private:
    std::string bytes_;
    size_t pos_ = 0;
};
