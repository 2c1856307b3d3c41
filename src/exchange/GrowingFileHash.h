#pragma once
// Hashes a file while another process writes it from its start to its end, so that the hash of a
// large copy is ready about when the copy is, instead of costing a second pass over it.

#include <QByteArray>
#include <QString>

#include <memory>

// The SHA-1 of a file in lower-case hex; empty when it cannot be read.
QByteArray Sha1OfFile(const QString& path);

class GrowingFileSha1 {
public:
    // Starts at once on a thread of its own, reading path from the moment it appears.
    explicit GrowingFileSha1(QString path);
    ~GrowingFileSha1(); // gives up at once when Finish was not called
    GrowingFileSha1(const GrowingFileSha1&) = delete;
    GrowingFileSha1& operator=(const GrowingFileSha1&) = delete;

    // To be called once the writer has ended with success: the SHA-1 (lower-case hex) of the file
    // as it now stands, reading what is still left; empty when it cannot be read.
    QByteArray Finish();

private:
    struct State;
    std::unique_ptr<State> m;
};
