#pragma once
// Hashes a file while another process writes it from its start to its end, so that the hash of a
// large copy is ready about when the copy is, instead of costing a second pass over it.

#include <QByteArray>
#include <QString>

#include <memory>

// The MD5 of a file in lower-case hex; empty when it cannot be read.
QByteArray Md5OfFile(const QString& path);

class GrowingFileMd5 {
public:
    // Starts at once on a thread of its own, reading path from the moment it appears.
    explicit GrowingFileMd5(QString path);
    ~GrowingFileMd5(); // gives up at once when Finish was not called
    GrowingFileMd5(const GrowingFileMd5&) = delete;
    GrowingFileMd5& operator=(const GrowingFileMd5&) = delete;

    // To be called once the writer has ended with success: the MD5 (lower-case hex) of the file
    // as it now stands, reading what is still left; empty when it cannot be read.
    QByteArray Finish();

private:
    struct State;
    std::unique_ptr<State> m;
};
