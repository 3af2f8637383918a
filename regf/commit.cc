#include "regf/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

// How a replacement goes, and why in this order.
//
// 1. The new image is written to "<name>.hmtmp-XXXXXXXX" beside the file, a name held
//    under an exclusive flock for the writer's lifetime, so a later call can tell the
//    temporary of a dead writer (lock free) from a live one and remove it.
// 2. The temporary receives the old file's owner, mode and extended attributes, then
//    the ntfs-3g attributes of the inode: security descriptor, creation time, and the
//    NTFS attribute flags last (the read-only flag must not get in the way of the
//    others). All of these travel with the inode through a rename.
// 3. File data and metadata are fsynced, then the temporary is renamed over the name.
//    rename() is atomic: a reader or a crash sees the old inode or the new one.
// 4. The DOS (8.3) name is the exception: on NTFS it is a second directory entry of
//    the name, not a property of the inode. ntfs-3g drops it when the name is renamed
//    over, and refuses to give it to the temporary while the old file still holds it.
//    It can only be set again once the new inode holds the name. Before the rename, an
//    intent record "<name>.hmdos" holding the DOS name is made durable; after the DOS
//    name is back it is removed. A process killed between rename and restore leaves a
//    whole new file without its short name plus the record, and the next replace (or
//    finish_interrupted_replace) restores the short name from the record. The content
//    is never at risk; only the short name waits for the next call.
//
// The alternatives are worse: restoring the short name first thing after the rename
// without a record leaves the name lost for good when killed in that window, and
// overwriting in place with a journal would leave a mixed file visible to anyone who
// reads it before the journal is replayed.

namespace regf {
namespace {

constexpr char kTempInfix[] = ".hmtmp-";
constexpr size_t kTempRandomDigits = 8;
constexpr char kIntentSuffix[] = ".hmdos";
constexpr char kDosNameAttr[] = "system.ntfs_dos_name";
// An 8.3 name: up to eight characters, a dot, up to three.
constexpr size_t kDosNameMax = 12;

// ntfs-3g attributes of the inode that make up the file's identity, in the order they
// are set. ntfs_times is not copied as a whole: only the creation time is identity
// (Windows' own ReplaceFile keeps it too); the write time belongs to the new content.
// ntfs_attrib_be is the same flags big-endian, so one of the two is enough. ntfs-3g
// sets the archive flag when the name is renamed over, as Windows sets it on any
// write: the new content is not backed up yet, so that one flag is left set.
constexpr const char* kNtfsInodeAttrs[] = {
    "system.ntfs_acl",
    "system.ntfs_crtime",
    "system.ntfs_attrib",
};

using base::UniqueFd;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

std::string reason(int err) { return std::error_code(err, std::generic_category()).message(); }

Error fail(const std::string& file, const std::string& what, int err) {
  return Error{what + ": " + reason(err), std::nullopt, file};
}

// The file a replacement writes: the folder it lives in and its name there.
struct Target {
  std::string display;  // the path as the caller gave it, for messages
  std::string dir;
  std::string name;
  std::string path() const { return dir == "/" ? "/" + name : dir + "/" + name; }
};

Result<Target> resolve_target(const std::string& path) {
  Target t{path, {}, {}};
  std::string file = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // The link stays a link; the file it leads to gets the new content.
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return fail(path, "cannot follow the symbolic link", errno);
    file = real.get();
  }
  const size_t slash = file.rfind('/');
  t.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  t.name = slash == std::string::npos ? file : file.substr(slash + 1);
  if (t.name.empty() || t.name == "." || t.name == "..") { return Error{"not the name of a file", std::nullopt, path}; }
  return t;
}

Result<std::optional<std::vector<uint8_t>>> read_xattr(int fd, const char* name, const std::string& file) {
  for (;;) {
    ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size < 0) {
      if (errno == ENODATA || errno == ENOTSUP) return std::optional<std::vector<uint8_t>>();
      return fail(file, std::string("cannot read extended attribute ") + name, errno);
    }
    std::vector<uint8_t> value(static_cast<size_t>(size));
    size = ::fgetxattr(fd, name, value.data(), value.size());
    if (size < 0 && errno == ERANGE) continue;  // grew in between
    if (size < 0) return fail(file, std::string("cannot read extended attribute ") + name, errno);
    value.resize(size_t(size));
    return std::optional(std::move(value));
  }
}

Result<std::vector<std::string>> list_xattrs(int fd, const std::string& file) {
  for (;;) {
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return std::vector<std::string>();
      return fail(file, "cannot list extended attributes", errno);
    }
    std::vector<char> buf(static_cast<size_t>(size));
    size = ::flistxattr(fd, buf.data(), buf.size());
    if (size < 0 && errno == ERANGE) continue;
    if (size < 0) return fail(file, "cannot list extended attributes", errno);
    std::vector<std::string> names;
    for (size_t i = 0; i < size_t(size);) {
      std::string n(buf.data() + i);
      i += n.size() + 1;
      if (!n.empty()) names.push_back(std::move(n));
    }
    return names;
  }
}

struct Xattr {
  std::string name;
  std::vector<uint8_t> value;
};

// What the replacement must carry over from the old file.
struct Identity {
  bool exists = false;
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  std::vector<Xattr> xattrs;  // listed ones first, then the ntfs-3g inode ones in order
  std::string dos_name;       // empty when the name has none
};

Result<Identity> read_identity(int dir, const Target& t) {
  Identity id;
  struct stat st;
  if (::fstatat(dir, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return id;
    return fail(t.display, "cannot examine the file", errno);
  }
  if (S_ISDIR(st.st_mode)) return fail(t.display, "cannot replace it", EISDIR);
  if (!S_ISREG(st.st_mode)) return Error{"not a regular file", std::nullopt, t.display};
  // rename() needs only the folder to be writable; a file the caller may not write
  // must not change behind its permissions.
  if (::faccessat(dir, t.name.c_str(), W_OK, AT_EACCESS) != 0) {
    return fail(t.display, "cannot write the file", errno);
  }
  id.exists = true;
  id.uid = st.st_uid;
  id.gid = st.st_gid;
  id.mode = st.st_mode & 07777;

  // O_NONBLOCK keeps a mandatory lease or a FIFO swapped in meanwhile from hanging us.
  UniqueFd fd(::openat(dir, t.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail(t.display, "cannot open the file", errno);
  auto names = list_xattrs(fd.get(), t.display);
  if (!names) return names.error();
  for (const auto& n : *names) {
    auto v = read_xattr(fd.get(), n.c_str(), t.display);
    if (!v) return v.error();
    if (*v) id.xattrs.push_back({n, std::move(**v)});
  }
  // ntfs-3g does not list its system.ntfs_* attributes; they are asked for by name.
  for (const char* n : kNtfsInodeAttrs) {
    auto v = read_xattr(fd.get(), n, t.display);
    if (!v) return v.error();
    if (*v) id.xattrs.push_back({n, std::move(**v)});
  }
  auto dos = read_xattr(fd.get(), kDosNameAttr, t.display);
  if (!dos) return dos.error();
  if (*dos) id.dos_name.assign((*dos)->begin(), (*dos)->end());
  return id;
}

// A temporary sibling that is removed again unless it was renamed into place.
class TempFile {
 public:
  TempFile(int dir, std::string name, UniqueFd fd) : dir_(dir), name_(std::move(name)), fd_(std::move(fd)) {}
  TempFile(TempFile&& other) noexcept
      : dir_(other.dir_), name_(std::move(other.name_)), fd_(std::move(other.fd_)), placed_(other.placed_) {
    other.placed_ = true;
  }
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!placed_) ::unlinkat(dir_, name_.c_str(), 0);
  }
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  void placed() { placed_ = true; }
  void close() { fd_.reset(); }

 private:
  int dir_;
  std::string name_;
  UniqueFd fd_;
  bool placed_ = false;
};

std::string temp_prefix(const std::string& name) { return name + kTempInfix; }
std::string intent_name(const std::string& name) { return name + kIntentSuffix; }

bool is_temp_of(const std::string& entry, const std::string& name) {
  const std::string prefix = temp_prefix(name);
  if (entry.size() != prefix.size() + kTempRandomDigits || entry.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < entry.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(entry[i]))) return false;
  }
  return true;
}

Result<TempFile> create_temp(int dir, const Target& t, mode_t mode) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint32_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) random ^= uint32_t(::getpid()) * 2654435761u + attempt;
    char digits[kTempRandomDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", random);
    std::string name = temp_prefix(t.name) + digits;
    UniqueFd fd(::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) {
      if (errno == EEXIST) continue;
      return fail(t.display, "cannot create a temporary file beside it", errno);
    }
    TempFile temp(dir, std::move(name), std::move(fd));
    if (::flock(temp.fd(), LOCK_EX | LOCK_NB) != 0) { return fail(t.display, "cannot lock the temporary file", errno); }
    // Between create and lock, a cleaner may have taken the unlocked file for a dead
    // writer's and removed it; then the name is no longer ours.
    struct stat mine, named;
    if (::fstat(temp.fd(), &mine) == 0 && ::fstatat(dir, temp.name().c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
      return temp;
    }
    temp.placed();  // the name belongs to someone else now: do not remove it
  }
  return fail(t.display, "cannot create a temporary file beside it", EEXIST);
}

Status write_all(int fd, std::span<const uint8_t> bytes, const std::string& file, const char* what) {
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t chunk = std::min<size_t>(bytes.size() - done, size_t(1) << 30);
    ssize_t n = ::write(fd, bytes.data() + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(file, what, errno);
    }
    done += size_t(n);
  }
  return Ok{};
}

// A hive's new content, written past the page cache where the file system takes it:
// the file is written whole and not read back here, and giving a new file its cached
// pages costs many times the copy to the disk. What O_DIRECT does not take (a tail
// shorter than a block, or a file system that refuses it) goes through the cache.
Status write_content(int fd, std::span<const uint8_t> bytes, const std::string& file) {
  constexpr size_t kBlock = 4096, kChunk = size_t(1) << 20;
  const size_t aligned = bytes.size() / kBlock * kBlock;
  const int flags = ::fcntl(fd, F_GETFL);
  size_t done = 0;
  void* bounce = nullptr;
  if (aligned > 0 && flags >= 0 && ::posix_memalign(&bounce, kBlock, kChunk) == 0) {
    const std::unique_ptr<void, decltype(&std::free)> owned(bounce, &std::free);
    if (::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
      while (done < aligned) {
        const size_t n = std::min(kChunk, aligned - done);
        std::memcpy(bounce, bytes.data() + done, n);
        const ssize_t w = ::pwrite(fd, bounce, n, off_t(done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EINVAL) {
          const int error = errno;
          ::fcntl(fd, F_SETFL, flags);
          return fail(file, "cannot write the new content", error);
        }
        if (w > 0) done += size_t(w);
        if (w != ssize_t(n)) break;  // refused or short: the rest through the cache
      }
      if (::fcntl(fd, F_SETFL, flags) != 0) return fail(file, "cannot write the new content", errno);
    }
  }
  if (done == bytes.size()) return Ok{};
  if (::lseek(fd, off_t(done), SEEK_SET) < 0) return fail(file, "cannot write the new content", errno);
  return write_all(fd, bytes.subspan(done), file, "cannot write the new content");
}

Status apply_identity(int fd, const Identity& id, const std::string& file) {
  if (!id.exists) return Ok{};
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(file, "cannot examine the temporary file", errno);
  // Owner before mode (chown clears set-id bits) and before the extended attributes
  // (it also drops security.capability).
  if ((st.st_uid != id.uid || st.st_gid != id.gid) && ::fchown(fd, id.uid, id.gid) != 0) {
    return fail(file,
                "cannot give the new content the file's owner " + std::to_string(id.uid) + ":" + std::to_string(id.gid),
                errno);
  }
  if (::fchmod(fd, id.mode) != 0) return fail(file, "cannot give the new content the file's mode", errno);
  for (const auto& x : id.xattrs) {
    if (::fsetxattr(fd, x.name.c_str(), x.value.data(), x.value.size(), 0) == 0) continue;
    const int err = errno;
    // Some attributes are set by the system itself (a security label); refusing to
    // set one is harmless when the new file has it already.
    auto now = read_xattr(fd, x.name.c_str(), file);
    if (now && *now && **now == x.value) continue;
    return fail(file, "cannot keep extended attribute " + x.name, err);
  }
  return Ok{};
}

// Makes the folder's entries durable. A file system that cannot sync a folder (EINVAL)
// has no more to offer: its entries are as durable as it makes them.
Status sync_dir(int dir, const Target& t) {
  if (::fsync(dir) == 0 || errno == EINVAL) return Ok{};
  return fail(t.display, "cannot make the folder durable", errno);
}

// Makes the intent record "<name>.hmdos" durable: the DOS name and a newline, so that
// a record cut short by a crash is recognised as such.
Status write_intent(int dir, const Target& t, const std::string& dos_name) {
  const std::string record = intent_name(t.name);
  UniqueFd fd(::openat(dir, record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return fail(t.display, "cannot record its DOS name beside it", errno);
  const std::string text = dos_name + "\n";
  auto written = write_all(fd.get(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, t.display,
                           "cannot record its DOS name beside it");
  if (written && ::fsync(fd.get()) != 0) written = fail(t.display, "cannot record its DOS name beside it", errno);
  if (written) written = sync_dir(dir, t);
  if (!written) ::unlinkat(dir, record.c_str(), 0);
  return written;
}

// Reads an intent record; nullopt when it is not a whole record.
std::optional<std::string> read_intent(int dir, const std::string& record) {
  UniqueFd fd(::openat(dir, record.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  char buf[kDosNameMax + 2];
  ssize_t n;
  do { n = ::read(fd.get(), buf, sizeof buf); } while (n < 0 && errno == EINTR);
  if (n < 2 || size_t(n) > kDosNameMax + 1 || buf[n - 1] != '\n') return std::nullopt;
  return std::string(buf, size_t(n - 1));
}

// Removes temporaries of dead writers (their lock is free). Best effort: a temporary
// that cannot be removed harms nobody, and a folder that refuses it will refuse the
// replacement with a clear error of its own.
void remove_stale_temps(int dir, const std::string& name) {
  UniqueFd listing_fd(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing_fd) return;
  std::unique_ptr<DIR, DirCloser> listing(::fdopendir(listing_fd.get()));
  if (!listing) return;
  listing_fd.release();  // the DIR owns it now
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(listing.get())) {
    if (is_temp_of(e->d_name, name)) stale.emplace_back(e->d_name);
  }
  for (const auto& entry : stale) {
    UniqueFd fd(::openat(dir, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // gone, or its writer lives
    // Closed before the unlink: on a FUSE volume, removing an open file only hides it
    // until the last close.
    fd.reset();
    ::unlinkat(dir, entry.c_str(), 0);
  }
}

Status finish_interrupted(int dir, const Target& t) {
  remove_stale_temps(dir, t.name);
  const std::string record = intent_name(t.name);
  struct stat st;
  if (::fstatat(dir, record.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Ok{};
  if (auto dos_name = read_intent(dir, record)) {
    // The record outlives the rename only when the writer died before restoring the
    // short name; a name that has one already was never renamed over.
    char current[kDosNameMax + 1];
    const std::string file = t.path();
    const bool lacks_dos_name = ::getxattr(file.c_str(), kDosNameAttr, current, sizeof current) < 0 && errno == ENODATA;
    if (lacks_dos_name) {
      if (::setxattr(file.c_str(), kDosNameAttr, dos_name->data(), dos_name->size(), 0) != 0) {
        return fail(t.display, "cannot restore its DOS name " + *dos_name, errno);
      }
      if (auto s = sync_dir(dir, t); !s) return s;
    }
  }
  if (::unlinkat(dir, record.c_str(), 0) != 0 && errno != ENOENT) {
    return fail(t.display, "cannot remove the DOS name record beside it", errno);
  }
  return Ok{};
}

Result<UniqueFd> open_dir(const Target& t) {
  UniqueFd dir(::open(t.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return fail(t.display, "cannot open its folder", errno);
  return dir;
}

}  // namespace

Status finish_interrupted_replace(const std::string& path) {
  auto target = resolve_target(path);
  if (!target) return target.error();
  auto dir = open_dir(*target);
  if (!dir) return dir.error();
  return finish_interrupted(dir->get(), *target);
}

Status replace_file(const std::string& path, std::span<const uint8_t> bytes) {
  auto target = resolve_target(path);
  if (!target) return target.error();
  const Target& t = *target;
  auto dir_fd = open_dir(t);
  if (!dir_fd) return dir_fd.error();
  const int dir = dir_fd->get();

  if (auto done = finish_interrupted(dir, t); !done) return done;
  auto identity = read_identity(dir, t);
  if (!identity) return identity.error();
  const Identity& id = *identity;

  // A new file gets 0666 less the umask; a replacement starts private and takes the
  // old file's mode once it has its owner.
  auto temp = create_temp(dir, t, id.exists ? 0600 : 0666);
  if (!temp) return temp.error();
  if (auto s = write_content(temp->fd(), bytes, t.display); !s) return s;
  if (auto s = apply_identity(temp->fd(), id, t.display); !s) return s;
  if (::fsync(temp->fd()) != 0) return fail(t.display, "cannot make the new content durable", errno);

  const bool restore_dos_name = !id.dos_name.empty();
  if (restore_dos_name) {
    if (auto s = write_intent(dir, t, id.dos_name); !s) return s;
  }
  if (::renameat(dir, temp->name().c_str(), dir, t.name.c_str()) != 0) {
    const int err = errno;
    if (restore_dos_name) ::unlinkat(dir, intent_name(t.name).c_str(), 0);
    return fail(t.display, "cannot put the new content in place", err);
  }
  temp->placed();
  temp->close();

  if (restore_dos_name) {
    const std::string file = t.path();
    if (::setxattr(file.c_str(), kDosNameAttr, id.dos_name.data(), id.dos_name.size(), 0) != 0) {
      // The content is new and whole; the record stays so the next call retries.
      return fail(t.display, "new content in place, but its DOS name " + id.dos_name + " could not be restored", errno);
    }
  }
  if (auto s = sync_dir(dir, t); !s) return s;
  if (restore_dos_name) ::unlinkat(dir, intent_name(t.name).c_str(), 0);
  return Ok{};
}

}  // namespace regf
