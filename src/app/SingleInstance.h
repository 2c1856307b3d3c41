#pragma once
#include <QString>

#include <cstdint>

// Machine-wide guard that only one copy of the program runs for a user. The lock belongs to the
// process: the system releases it when the process ends, crashed or not, so a crash never blocks
// the next start.
class SingleInstanceGuard {
public:
    static constexpr const char* kName = "quintaraIDcard20140307";

    // lockFolder empty: the platform's per-user default.
    explicit SingleInstanceGuard(const QString& lockFolder = QString());
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // true when this process now owns the guard. A guard that cannot be created at all (no
    // writable folder) lets the program start as a first copy.
    bool Acquire();

private:
    QString m_folder;
    intptr_t m_handle = -1;
};
