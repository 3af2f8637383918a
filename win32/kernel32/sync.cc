#include "win32/kernel32/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "base/unique_fd.h"
#include "win32/host/error.h"
#include "win32/host/prefix.h"
#include "win32/kernel32/handle_table.h"

// How named objects are shared between processes. Each namespace is a folder of the
// prefix (objects/global, objects/local-<uid>-<session>) holding one file per name and a
// lock file; objects/ and objects/global are shared by all users (sticky, as /tmp), the
// files are 0666. Every process holding a handle to an object holds a shared flock on the
// object's file through that handle, so the object exists exactly while some file
// description holds that lock; the kernel drops the lock when a holder dies, whatever
// the way. Creating or opening (the decision whether a name exists) and closing happen
// under an exclusive flock on the namespace's lock file, which makes the test of
// existence atomic. The object's state (kind, count, owner) sits at the start of its
// file and is changed under an open-file-description record lock, which is independent
// of the flocks.

namespace hivemend::win32 {

namespace {

constexpr char kMutexTag = 'M';
constexpr char kSemaphoreTag = 'S';

struct SharedState {
  char tag;
  char reserved[3];
  int32_t count;  // a semaphore's count; a mutex's ownership depth (0: free)
  int32_t maximum;
  int32_t owner_pid;
  int32_t owner_tid;
};

class SyncObject : public KernelObject {
 public:
  SyncObject(ObjectKind kind, base::UniqueFd fd, std::string path, std::string lock_path)
      : kind_(kind), fd_(std::move(fd)), path_(std::move(path)), lock_path_(std::move(lock_path)) {}
  ~SyncObject() override;
  ObjectKind kind() const override { return kind_; }
  int fd() const { return fd_.get(); }

 private:
  ObjectKind kind_;
  base::UniqueFd fd_;
  std::string path_;  // empty for an object without name
  std::string lock_path_;
};

// Exclusive flock on a namespace's lock file for the life of the holder.
class NamespaceLock {
 public:
  explicit NamespaceLock(const std::string& path) : fd_(open_shared_file(path, O_RDWR)) {
    if (fd_) {
      while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {}
    }
  }
  explicit operator bool() const { return bool(fd_); }

 private:
  base::UniqueFd fd_;
};

// Record lock over the state of one object, for one read-modify-write.
class StateLock {
 public:
  explicit StateLock(int fd) : fd_(fd) { set(F_WRLCK); }
  ~StateLock() { set(F_UNLCK); }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  void set(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_len = sizeof(SharedState);
    while (fcntl(fd_, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {}
  }
  int fd_;
};

SyncObject::~SyncObject() {
  if (path_.empty() || !fd_) return;
  // The last holder anywhere removes the file, so that the namespace folder does not
  // fill up; the existence test itself never depends on the file being gone.
  NamespaceLock lock(lock_path_);
  if (flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) unlink(path_.c_str());
}

bool read_state(int fd, SharedState& state) { return pread(fd, &state, sizeof state, 0) == ssize_t(sizeof state); }
bool write_state(int fd, const SharedState& state) {
  return pwrite(fd, &state, sizeof state, 0) == ssize_t(sizeof state);
}

int current_tid() { return int(gettid()); }

bool thread_alive(int pid, int tid) {
  if (pid <= 0) return false;
  const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
  return access(task.c_str(), F_OK) == 0;
}

std::string login_session() {
  std::ifstream in("/proc/self/sessionid");
  std::string id;
  if (!(in >> id) || id == "4294967295") return "none";
  return id;
}

// A name as a file name: letters, digits, '-' and '_' stay, every other UTF-16 unit is
// "%" and four hex digits, so that names keep their case and no name can be "." or
// "..". Names too long for one file name keep their start and add a hash of the whole.
std::string encode_name(std::u16string_view name) {
  std::string out;
  for (char16_t c : name) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_') {
      out.push_back(char(c));
    } else {
      char hex[6];
      std::snprintf(hex, sizeof hex, "%%%04X", unsigned(c));
      out += hex;
    }
  }
  constexpr size_t kMaxFileName = 240;
  if (out.size() > kMaxFileName) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (char16_t c : name) { hash = (hash ^ uint64_t(c)) * 0x100000001b3ull; }
    char tail[20];
    std::snprintf(tail, sizeof tail, "#%016llx", static_cast<unsigned long long>(hash));
    out.resize(200);
    out += tail;
  }
  return out;
}

struct Location {
  std::string dir;
  std::string file;
};

// The folder and file of a named object, or the Windows error for a name that cannot be.
Expected<Location> locate(std::u16string_view name) {
  if (name.size() > MAX_PATH) return WinError{ERROR_FILENAME_EXCED_RANGE};
  std::string space;
  constexpr std::u16string_view kGlobal = u"Global\\";
  constexpr std::u16string_view kLocal = u"Local\\";
  if (name.starts_with(kGlobal)) {
    space = "global";
    name.remove_prefix(kGlobal.size());
  } else {
    if (name.starts_with(kLocal)) name.remove_prefix(kLocal.size());
    space = "local-" + std::to_string(getuid()) + "-" + login_session();
  }
  // Any other backslash names an object directory that does not exist.
  if (name.find(u'\\') != std::u16string_view::npos) return WinError{ERROR_PATH_NOT_FOUND};
  if (name.empty()) return WinError{ERROR_INVALID_NAME};
  auto prefix = prefix_dir();
  if (!prefix) return WinError{prefix.error()};
  Location where{*prefix + "/objects/" + space, ""};
  // Every user of the prefix creates folders in objects/ (a local namespace of its own)
  // and objects in objects/global.
  if (!make_shared_folder(*prefix + "/objects")) return WinError{error_from_errno(errno)};
  if (space == "global" ? !make_shared_folder(where.dir) : mkdir(where.dir.c_str(), 0777) != 0 && errno != EEXIST)
    return WinError{error_from_errno(errno)};
  where.file = where.dir + "/" + encode_name(name);
  return where;
}

HANDLE insert(ObjectKind kind, base::UniqueFd fd, std::string path, std::string lock_path, DWORD last_error) {
  HANDLE h = HandleTable::instance().insert(
      std::make_shared<SyncObject>(kind, std::move(fd), std::move(path), std::move(lock_path)));
  SetLastError(last_error);
  return h;
}

SharedState initial_state(char tag, LONG count, LONG maximum, bool owned) {
  SharedState state{};
  state.tag = tag;
  state.count = count;
  state.maximum = maximum;
  if (owned) {
    state.owner_pid = getpid();
    state.owner_tid = current_tid();
  }
  return state;
}

ObjectKind kind_of(char tag) { return tag == kMutexTag ? ObjectKind::Mutex : ObjectKind::Semaphore; }

// Creates the object or opens the existing one (create == false: open only).
HANDLE create_or_open(LPCWSTR name, const SharedState& fresh, bool create) {
  if (!name || !*name) {
    if (!create) return fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    base::UniqueFd fd(memfd_create("hivemend-sync", MFD_CLOEXEC));
    if (!fd) return fail(error_from_errno(errno), HANDLE(nullptr));
    if (!write_state(fd.get(), fresh)) return fail(error_from_errno(errno), HANDLE(nullptr));
    return insert(kind_of(fresh.tag), std::move(fd), "", "", ERROR_SUCCESS);
  }
  auto where = locate(name);
  if (!where) return fail(where.error(), HANDLE(nullptr));
  const std::string lock_path = where->dir + "/.lock";
  NamespaceLock lock(lock_path);
  if (!lock) return fail(error_from_errno(errno), HANDLE(nullptr));

  base::UniqueFd fd =
      create ? open_shared_file(where->file, O_RDWR) : base::UniqueFd(open(where->file.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return fail(errno == ENOENT ? DWORD(ERROR_FILE_NOT_FOUND) : error_from_errno(errno), HANDLE(nullptr));
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    // Nobody holds it: the name is free (a file left by a killed holder counts for nothing).
    if (!create) {
      unlink(where->file.c_str());
      return fail(ERROR_FILE_NOT_FOUND, HANDLE(nullptr));
    }
    if (ftruncate(fd.get(), 0) != 0 || !write_state(fd.get(), fresh)) {
      const DWORD error = error_from_errno(errno);
      unlink(where->file.c_str());
      return fail(error, HANDLE(nullptr));
    }
    flock(fd.get(), LOCK_SH);
    return insert(kind_of(fresh.tag), std::move(fd), where->file, lock_path, ERROR_SUCCESS);
  }
  flock(fd.get(), LOCK_SH);
  SharedState existing{};
  if (!read_state(fd.get(), existing)) return fail(ERROR_INVALID_HANDLE, HANDLE(nullptr));
  // The same name held by the other kind of object.
  if (existing.tag != fresh.tag) return fail(ERROR_INVALID_HANDLE, HANDLE(nullptr));
  return insert(kind_of(existing.tag), std::move(fd), where->file, lock_path,
                create ? DWORD(ERROR_ALREADY_EXISTS) : DWORD(ERROR_SUCCESS));
}

std::shared_ptr<SyncObject> sync_object(HANDLE handle, ObjectKind kind) {
  auto object = HandleTable::instance().get(handle);
  if (!object || object->kind() != kind) return nullptr;
  return std::static_pointer_cast<SyncObject>(object);
}

}  // namespace

TakeResult try_take(HANDLE handle) {
  auto object = HandleTable::instance().get(handle);
  if (!object || (object->kind() != ObjectKind::Mutex && object->kind() != ObjectKind::Semaphore))
    return TakeResult::NotSyncObject;
  const int fd = std::static_pointer_cast<SyncObject>(object)->fd();
  StateLock lock(fd);
  SharedState state{};
  if (!read_state(fd, state)) return TakeResult::NotSyncObject;
  if (state.tag == kSemaphoreTag) {
    if (state.count <= 0) return TakeResult::Busy;
    --state.count;
    write_state(fd, state);
    return TakeResult::Taken;
  }
  const int pid = getpid();
  const int tid = current_tid();
  if (state.count > 0 && state.owner_pid == pid && state.owner_tid == tid) {
    ++state.count;
    write_state(fd, state);
    return TakeResult::Taken;
  }
  if (state.count > 0 && thread_alive(state.owner_pid, state.owner_tid)) return TakeResult::Busy;
  // Free, or abandoned: its owning thread ended without releasing it.
  const bool abandoned = state.count > 0;
  state.count = 1;
  state.owner_pid = pid;
  state.owner_tid = tid;
  write_state(fd, state);
  return abandoned ? TakeResult::Abandoned : TakeResult::Taken;
}

}  // namespace hivemend::win32

using namespace hivemend::win32;

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  return create_or_open(lpName, initial_state(kMutexTag, bInitialOwner ? 1 : 0, 1, bInitialOwner), true);
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName) {
  return create_or_open(lpName, initial_state(kMutexTag, 0, 1, false), false);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  auto object = sync_object(hMutex, ObjectKind::Mutex);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  StateLock lock(object->fd());
  SharedState state{};
  if (!read_state(object->fd(), state)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (state.count <= 0 || state.owner_pid != getpid() || state.owner_tid != current_tid())
    return fail(ERROR_NOT_OWNER, FALSE);
  if (--state.count == 0) state.owner_pid = state.owner_tid = 0;
  write_state(object->fd(), state);
  return TRUE;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount)
    return fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
  return create_or_open(lpName, initial_state(kSemaphoreTag, lInitialCount, lMaximumCount, false), true);
}

HANDLE WINAPI OpenSemaphoreW(DWORD, BOOL, LPCWSTR lpName) {
  return create_or_open(lpName, initial_state(kSemaphoreTag, 0, 1, false), false);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  auto object = sync_object(hSemaphore, ObjectKind::Semaphore);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (lReleaseCount <= 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  StateLock lock(object->fd());
  SharedState state{};
  if (!read_state(object->fd(), state)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (int64_t(state.count) + lReleaseCount > state.maximum) return fail(ERROR_TOO_MANY_POSTS, FALSE);
  if (lpPreviousCount) *lpPreviousCount = state.count;
  state.count += lReleaseCount;
  write_state(object->fd(), state);
  return TRUE;
}
