#include "ReadAheadVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFirstWindow = 16 * 1024;
constexpr int kMaxWindow = 512 * 1024;
constexpr int kBehind = 64 * 1024; // read before a following read, in case the pass steps back

struct File {
    sqlite3_file base;
    sqlite3_file* real; // the default VFS's file, right after this struct
    bool buffered;      // a main database file
    char* buffer;       // kMaxWindow + kBehind bytes once needed
    sqlite3_int64 start;
    int length;         // valid bytes from start
    int window;         // size of the next fill
    int lock;
};

sqlite3_vfs* Real(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }
File* Of(sqlite3_file* file) { return reinterpret_cast<File*>(file); }
const sqlite3_io_methods* Methods(File* f) { return f->real->pMethods; }

void Drop(File* f)
{
    f->length = 0;
    f->window = kFirstWindow;
}

int Close(sqlite3_file* file)
{
    File* f = Of(file);
    const int rc = Methods(f)->xClose(f->real);
    std::free(f->buffer);
    f->buffer = nullptr;
    return rc;
}

int Read(sqlite3_file* file, void* out, int amount, sqlite3_int64 offset)
{
    File* f = Of(file);
    if (f->length > 0 && offset >= f->start && offset + amount <= f->start + f->length) {
        std::memcpy(out, f->buffer + (offset - f->start), size_t(amount));
        return SQLITE_OK;
    }
    if (!f->buffered || amount > kMaxWindow)
        return Methods(f)->xRead(f->real, out, amount, offset);
    // A read near the last fill carries on a pass: the next fill is larger, and starts a little
    // before the read, since a table's leaf pages lie just after the overflow pages read next.
    // Any other read starts over with a small fill, so scattered reads cost little extra.
    const bool following = f->length > 0 && offset + kMaxWindow >= f->start && offset <= f->start + f->length + kMaxWindow;
    f->window = following ? std::min(f->window * 2, kMaxWindow) : kFirstWindow;
    if (!f->buffer && !(f->buffer = static_cast<char*>(std::malloc(kMaxWindow + kBehind))))
        return Methods(f)->xRead(f->real, out, amount, offset);
    const sqlite3_int64 from = following ? std::max<sqlite3_int64>(0, offset - kBehind) : offset;
    const int fill = int(std::max<sqlite3_int64>(f->window, offset - from + amount));
    f->length = 0;
    if (Methods(f)->xRead(f->real, f->buffer, fill, from) != SQLITE_OK)
        return Methods(f)->xRead(f->real, out, amount, offset); // near the end of the file, or an error: as asked
    f->start = from;
    f->length = fill;
    std::memcpy(out, f->buffer + (offset - from), size_t(amount));
    return SQLITE_OK;
}

int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset)
{
    Drop(Of(file));
    return Methods(Of(file))->xWrite(Of(file)->real, data, amount, offset);
}

int Truncate(sqlite3_file* file, sqlite3_int64 size)
{
    Drop(Of(file));
    return Methods(Of(file))->xTruncate(Of(file)->real, size);
}

int Sync(sqlite3_file* file, int flags) { return Methods(Of(file))->xSync(Of(file)->real, flags); }
int FileSize(sqlite3_file* file, sqlite3_int64* size) { return Methods(Of(file))->xFileSize(Of(file)->real, size); }

// Another connection may have written the file while this one held no lock (rollback journal).
int Lock(sqlite3_file* file, int level)
{
    File* f = Of(file);
    if (f->lock == SQLITE_LOCK_NONE)
        Drop(f);
    const int rc = Methods(f)->xLock(f->real, level);
    if (rc == SQLITE_OK)
        f->lock = level;
    return rc;
}

int Unlock(sqlite3_file* file, int level)
{
    File* f = Of(file);
    const int rc = Methods(f)->xUnlock(f->real, level);
    if (rc == SQLITE_OK)
        f->lock = level;
    if (level == SQLITE_LOCK_NONE)
        Drop(f);
    return rc;
}

int CheckReservedLock(sqlite3_file* file, int* out) { return Methods(Of(file))->xCheckReservedLock(Of(file)->real, out); }
int FileControl(sqlite3_file* file, int op, void* arg) { return Methods(Of(file))->xFileControl(Of(file)->real, op, arg); }
int SectorSize(sqlite3_file* file) { return Methods(Of(file))->xSectorSize(Of(file)->real); }
int DeviceCharacteristics(sqlite3_file* file) { return Methods(Of(file))->xDeviceCharacteristics(Of(file)->real); }

int ShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out)
{
    return Methods(Of(file))->xShmMap(Of(file)->real, page, size, extend, out);
}
// In WAL mode the file lock is held for the connection's life; a transaction begins with a lock
// in the shared memory instead, and a checkpoint by another connection may have written the file
// since the last one.
int ShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    if (flags & SQLITE_SHM_LOCK)
        Drop(Of(file));
    return Methods(Of(file))->xShmLock(Of(file)->real, offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) { Methods(Of(file))->xShmBarrier(Of(file)->real); }
int ShmUnmap(sqlite3_file* file, int deleteFlag) { return Methods(Of(file))->xShmUnmap(Of(file)->real, deleteFlag); }

// Memory-mapped pages bypass the buffer, which is fine: they are the file itself.
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out)
{
    return Methods(Of(file))->xFetch(Of(file)->real, offset, amount, out);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) { return Methods(Of(file))->xUnfetch(Of(file)->real, offset, page); }

const sqlite3_io_methods kMethods = {3,         Close,     Read,          Write,      Truncate,   Sync,
                                     FileSize,  Lock,      Unlock,        CheckReservedLock,      FileControl,
                                     SectorSize, DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap,
                                     Fetch,     Unfetch};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    File* f = Of(file);
    std::memset(f, 0, sizeof(File));
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    const int rc = Real(vfs)->xOpen(Real(vfs), name, f->real, flags, outFlags);
    // Without methods of its own the file is not open, and neither is this one.
    if (!f->real->pMethods)
        return rc;
    if (f->real->pMethods->iVersion < 3) {
        f->real->pMethods->xClose(f->real);
        return SQLITE_CANTOPEN;
    }
    f->buffered = (flags & SQLITE_OPEN_MAIN_DB) != 0;
    f->window = kFirstWindow;
    f->base.pMethods = &kMethods;
    return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) { return Real(vfs)->xDelete(Real(vfs), name, syncDir); }
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) { return Real(vfs)->xAccess(Real(vfs), name, flags, out); }
int FullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) { return Real(vfs)->xFullPathname(Real(vfs), name, n, out); }
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return Real(vfs)->xDlOpen(Real(vfs), name); }
void DlError(sqlite3_vfs* vfs, int n, char* out) { Real(vfs)->xDlError(Real(vfs), n, out); }
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) { return Real(vfs)->xDlSym(Real(vfs), handle, symbol); }
void DlClose(sqlite3_vfs* vfs, void* handle) { Real(vfs)->xDlClose(Real(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int n, char* out) { return Real(vfs)->xRandomness(Real(vfs), n, out); }
int Sleep(sqlite3_vfs* vfs, int microseconds) { return Real(vfs)->xSleep(Real(vfs), microseconds); }
int CurrentTime(sqlite3_vfs* vfs, double* out) { return Real(vfs)->xCurrentTime(Real(vfs), out); }
int GetLastError(sqlite3_vfs* vfs, int n, char* out) { return Real(vfs)->xGetLastError(Real(vfs), n, out); }
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) { return Real(vfs)->xCurrentTimeInt64(Real(vfs), out); }

sqlite3_vfs* Register()
{
    sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
    if (!real || real->iVersion < 2 || !real->xCurrentTimeInt64)
        return nullptr;
    static sqlite3_vfs vfs = {2, 0, 0, nullptr, "idcard-readahead", nullptr, Open, Delete, Access, FullPathname, DlOpen, DlError,
                              DlSym, DlClose, Randomness, Sleep, CurrentTime, GetLastError, CurrentTimeInt64,
                              nullptr, nullptr, nullptr};
    vfs.szOsFile = int(sizeof(File)) + real->szOsFile;
    vfs.mxPathname = real->mxPathname;
    vfs.pAppData = real;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? &vfs : nullptr;
}

} // namespace

const char* ReadAheadVfs()
{
    static sqlite3_vfs* const vfs = Register();
    return vfs ? vfs->zName : nullptr;
}
