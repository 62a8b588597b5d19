#include "store/guard_vfs.hpp"

#include <sqlite3.h>

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace tarnwick {
namespace {

constexpr int JOURNALS = SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL;

sqlite3_vfs* system_vfs = nullptr;
sqlite3_vfs read_vfs{};
sqlite3_vfs write_vfs{};

// A file of the reading VFS: the system's file object follows it in the
// same allocation.
struct ReadFile {
  sqlite3_file base;
  sqlite3_file* real;
  bool private_shm;
  std::vector<void*>* regions;  // the private index's regions
};

constexpr size_t REAL_OFFSET = (sizeof(ReadFile) + 15) & ~size_t{15};

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<ReadFile*>(file)->real; }

int read_close(sqlite3_file* file) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  if (self->regions != nullptr) {
    for (void* region : *self->regions) std::free(region);
    delete self->regions;
    self->regions = nullptr;
  }
  return self->real->pMethods->xClose(self->real);
}

int read_read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}

int refuse_write(sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; }
int refuse_truncate(sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; }
int read_sync(sqlite3_file*, int) { return SQLITE_OK; }

int read_size(sqlite3_file* file, sqlite3_int64* size) {
  return real(file)->pMethods->xFileSize(real(file), size);
}

// A reader needs no lock above SHARED; the exclusive lock a closing
// connection takes to checkpoint is the one this refuses.
int read_lock(sqlite3_file* file, int level) {
  if (level > SQLITE_LOCK_SHARED) return SQLITE_BUSY;
  return real(file)->pMethods->xLock(real(file), level);
}

int read_unlock(sqlite3_file* file, int level) {
  return real(file)->pMethods->xUnlock(real(file), level);
}

int read_reserved(sqlite3_file* file, int* reserved) {
  return real(file)->pMethods->xCheckReservedLock(real(file), reserved);
}

int read_control(sqlite3_file* file, int op, void* argument) {
  return real(file)->pMethods->xFileControl(real(file), op, argument);
}

int read_sector(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }

int read_device(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int read_shm_map(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  if (!self->private_shm) {
    return self->real->pMethods->xShmMap(self->real, region, size, extend, out);
  }
  *out = nullptr;
  if (self->regions == nullptr) self->regions = new (std::nothrow) std::vector<void*>();
  if (self->regions == nullptr || region < 0 || size <= 0) return SQLITE_NOMEM;
  auto& regions = *self->regions;
  const auto index = static_cast<size_t>(region);
  if (index >= regions.size() || regions[index] == nullptr) {
    if (extend == 0) return SQLITE_OK;
    if (index >= regions.size()) regions.resize(index + 1, nullptr);
    regions[index] = std::calloc(1, static_cast<size_t>(size));
    if (regions[index] == nullptr) return SQLITE_NOMEM;
  }
  *out = regions[index];
  return SQLITE_OK;
}

// The private index has no other user: every lock is granted.
int read_shm_lock(sqlite3_file* file, int offset, int count, int flags) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  if (!self->private_shm) return self->real->pMethods->xShmLock(self->real, offset, count, flags);
  return SQLITE_OK;
}

void read_shm_barrier(sqlite3_file* file) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  if (!self->private_shm) {
    self->real->pMethods->xShmBarrier(self->real);
    return;
  }
  // A lock taken and released orders memory as a full fence does, and thread
  // sanitizer understands it (it refuses atomic_thread_fence).
  static std::mutex fence;
  const std::lock_guard<std::mutex> ordered(fence);
}

// Never deletes the index file: a reader leaves the files as it found them.
int read_shm_unmap(sqlite3_file* file, int) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  if (!self->private_shm) return self->real->pMethods->xShmUnmap(self->real, 0);
  if (self->regions != nullptr) {
    for (void*& region : *self->regions) {
      std::free(region);
      region = nullptr;
    }
  }
  return SQLITE_OK;
}

const sqlite3_io_methods READ_METHODS = {
    2,           read_close,   read_read,     refuse_write,     refuse_truncate, read_sync,
    read_size,   read_lock,    read_unlock,   read_reserved,    read_control,    read_sector,
    read_device, read_shm_map, read_shm_lock, read_shm_barrier, read_shm_unmap,  nullptr,
    nullptr};

int read_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  auto* self = reinterpret_cast<ReadFile*>(file);
  self->base.pMethods = nullptr;
  if ((flags & JOURNALS) != 0) return SQLITE_CANTOPEN;
  if ((flags & SQLITE_OPEN_WAL) != 0) {
    // Read, never made: a WAL that is not there is not created.
    flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
  }
  self->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + REAL_OFFSET);
  self->regions = nullptr;
  self->private_shm = (flags & SQLITE_OPEN_MAIN_DB) != 0 && name != nullptr &&
                      sqlite3_uri_boolean(name, "private_shm", 0) != 0;
  const int code = system_vfs->xOpen(system_vfs, name, self->real, flags, out_flags);
  if (code != SQLITE_OK) return code;
  self->base.pMethods = &READ_METHODS;
  return SQLITE_OK;
}

int read_delete(sqlite3_vfs*, const char*, int) { return SQLITE_READONLY; }

int write_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  if ((flags & JOURNALS) != 0) {
    file->pMethods = nullptr;
    return SQLITE_CANTOPEN;
  }
  return system_vfs->xOpen(system_vfs, name, file, flags, out_flags);
}

void register_both() {
  system_vfs = sqlite3_vfs_find(nullptr);
  read_vfs = *system_vfs;
  read_vfs.pNext = nullptr;
  read_vfs.zName = "tarnwick-read";
  read_vfs.szOsFile = static_cast<int>(REAL_OFFSET) + system_vfs->szOsFile;
  read_vfs.xOpen = read_open;
  read_vfs.xDelete = read_delete;
  write_vfs = *system_vfs;
  write_vfs.pNext = nullptr;
  write_vfs.zName = "tarnwick-write";
  write_vfs.xOpen = write_open;
  sqlite3_vfs_register(&read_vfs, 0);
  sqlite3_vfs_register(&write_vfs, 0);
}

}  // namespace

const char* guarded_vfs(GuardedAccess access) {
  static std::once_flag registered;
  std::call_once(registered, register_both);
  return access == GuardedAccess::read ? read_vfs.zName : write_vfs.zName;
}

}  // namespace tarnwick
