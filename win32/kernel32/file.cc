#include "win32/kernel32/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "base/unicode.h"
#include "win32/host/directory.h"
#include "win32/host/error.h"
#include "win32/host/path.h"
#include "win32/kernel32/handle_table.h"
#include "win32/kernel32/wildcard.h"

namespace hivemend::win32 {

namespace {

// Access as far as sharing is concerned.
constexpr DWORD kShareRead = FILE_SHARE_READ, kShareWrite = FILE_SHARE_WRITE, kShareDelete = FILE_SHARE_DELETE;

DWORD sharing_access(DWORD access) {
  DWORD a = 0;
  if (access & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) a |= kShareRead;
  if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) a |= kShareWrite;
  if (access & (DELETE | GENERIC_ALL)) a |= kShareDelete;
  return a;
}

// The process's open files by identity, for Windows' share-mode checks.
class ShareTable {
 public:
  struct Open {
    DWORD access, share;
  };
  using Id = std::pair<dev_t, ino_t>;

  bool admit(Id id, Open open) {
    std::lock_guard lock(mutex_);
    auto range = opens_.equal_range(id);
    for (auto it = range.first; it != range.second; ++it)
      if ((open.access & ~it->second.share) || (it->second.access & ~open.share)) return false;
    opens_.emplace(id, open);
    return true;
  }
  void release(Id id, Open open) {
    std::lock_guard lock(mutex_);
    auto range = opens_.equal_range(id);
    for (auto it = range.first; it != range.second; ++it)
      if (it->second.access == open.access && it->second.share == open.share) {
        opens_.erase(it);
        return;
      }
  }

 private:
  std::mutex mutex_;
  std::multimap<Id, Open> opens_;
};

ShareTable& share_table() {
  static auto* table = new ShareTable;
  return *table;
}

class FileObject final : public KernelObject {
 public:
  static constexpr ObjectKind kKind = ObjectKind::File;
  FileObject(base::UniqueFd fd, ShareTable::Id id, ShareTable::Open open, Location parent)
      : fd_(std::move(fd)), id_(id), open_(open), parent_(std::move(parent)) {}
  ~FileObject() override { share_table().release(id_, open_); }
  ObjectKind kind() const override { return kKind; }

  int fd() const { return fd_.get(); }
  bool can_read() const { return open_.access & kShareRead; }
  bool can_write() const { return open_.access & kShareWrite; }
  const Location& parent() const { return parent_; }

 private:
  base::UniqueFd fd_;
  ShareTable::Id id_;
  ShareTable::Open open_;
  Location parent_;
};

class FindSearch final : public KernelObject {
 public:
  static constexpr ObjectKind kKind = ObjectKind::FindSearch;
  ObjectKind kind() const override { return kKind; }
  bool closed_by_close_handle() const override { return false; }

  std::shared_ptr<const Listing> listing;
  bool with_dot = false, with_dotdot = false;  // "." and "..", when they match, come first
  std::vector<uint32_t> candidates;            // entry indexes still to test, volume order
  std::u16string expression;                   // empty: candidates are matches already
  size_t next_candidate = 0;
  DirEntry dot, dotdot;

  const DirEntry* next() {
    if (with_dot) {
      with_dot = false;
      return &dot;
    }
    if (with_dotdot) {
      with_dotdot = false;
      return &dotdot;
    }
    while (next_candidate < candidates.size()) {
      const DirEntry& e = listing->entries[candidates[next_candidate++]];
      const base::UpcaseTable& upcase = *listing->upcase;
      if (expression.empty() || name_in_expression(expression, e.long_name, upcase) ||
          (!e.short_name.empty() && name_in_expression(expression, e.short_name, upcase)))
        return &e;
    }
    return nullptr;
  }
};

void fill_find_data(const DirEntry& e, WIN32_FIND_DATAW* data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = e.attributes;
  data->ftCreationTime = e.creation;
  data->ftLastAccessTime = e.last_access;
  data->ftLastWriteTime = e.last_write;
  data->nFileSizeHigh = DWORD(e.size >> 32);
  data->nFileSizeLow = DWORD(e.size);
  const size_t n = std::min(e.long_name.size(), size_t(MAX_PATH - 1));
  std::memcpy(data->cFileName, e.long_name.data(), n * sizeof(WCHAR));
  const size_t s = std::min(e.short_name.size(), size_t(13));
  std::memcpy(data->cAlternateFileName, e.short_name.data(), s * sizeof(WCHAR));
}

// The directory holding the path's last component and that component's entry name.
struct ParentAndName {
  Location parent;
  std::u16string_view name;                // in the path
  std::shared_ptr<const Listing> listing;  // the parent's, when found kept on the way
};

Expected<ParentAndName> locate_parent(const WindowsPath& path) {
  std::shared_ptr<const Listing> listing;
  auto parent = open_directory(path, path.components.empty() ? 0 : path.components.size() - 1, &listing);
  if (!parent) return WinError{parent.error()};
  return ParentAndName{std::move(*parent), path.components.empty() ? std::u16string_view() : path.components.back(),
                       std::move(listing)};
}

}  // namespace

}  // namespace hivemend::win32

using namespace hivemend::win32;

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  FileSystemCall call;
  if (!lpFileName || !lpFindFileData) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto path = parse_windows_path(lpFileName);
  if (!path) return fail(path.error(), INVALID_HANDLE_VALUE);
  // "C:\dir\" asks for no name: Windows finds nothing.
  if (path->trailing_separator || path->components.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto where = locate_parent(*path);
  if (!where) return fail(where.error(), INVALID_HANDLE_VALUE);
  const std::u16string_view pattern = where->name;
  // Made here, and kept in a handle only when it finds an entry.
  FindSearch search;
  search.listing = where->listing ? std::move(where->listing) : known_listing(where->parent);
  if (!has_wildcards(pattern) && !search.listing) {
    // A name spelled as the entry is named wins over any other match: through ntfs-3g
    // that entry alone is read, without listing the directory.
    const std::string linux_name = base::to_utf8(pattern);
    if (base::from_utf8(linux_name) == pattern && linux_name.find('/') == std::string::npos) {
      if (auto entry = read_entry(where->parent, linux_name)) {
        auto one = std::make_shared<Listing>();
        one->ntfs = true;
        one->upcase = where->parent.root->listings->upcase();
        one->entries.push_back(std::move(*entry));
        one->build_index();
        search.listing = std::move(one);
        search.candidates.push_back(0);
      }
    }
  }
  if (!search.listing) {
    auto listing = list_directory(where->parent);
    if (!listing) return fail(listing.error(), INVALID_HANDLE_VALUE);
    search.listing = *listing;
  }
  if (has_wildcards(pattern)) {
    const base::UpcaseTable& upcase = *search.listing->upcase;
    search.expression = dos_expression(pattern, upcase);
    search.candidates = search.listing->starting_with(literal_prefix(search.expression));
    // Below a root, the file system lists "." and ".." first.
    const bool dot = name_in_expression(search.expression, u".", upcase);
    const bool dotdot = name_in_expression(search.expression, u"..", upcase);
    if (!where->parent.relative.empty() && (dot || dotdot)) {
      search.dot = search.listing->self(where->parent);
      search.dotdot = search.dot;
      search.dotdot.long_name = u"..";
      search.with_dot = dot;
      search.with_dotdot = dotdot;
    }
    if (prefix_decides(search.expression)) search.expression.clear();
  } else if (search.candidates.empty()) {
    if (const DirEntry* e = search.listing->find(pattern))
      search.candidates.push_back(uint32_t(e - search.listing->entries.data()));
  }
  const DirEntry* first = search.next();
  if (!first) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  fill_find_data(*first, lpFindFileData);
  SetLastError(ERROR_SUCCESS);
  return HandleTable::instance().insert(std::make_shared<FindSearch>(std::move(search)));
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto search = HandleTable::instance().get_as<FindSearch>(hFindFile);
  if (!search) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFindFileData) return fail(ERROR_NOACCESS, FALSE);
  const DirEntry* e = search->next();
  if (!e) return fail(ERROR_NO_MORE_FILES, FALSE);
  fill_find_data(*e, lpFindFileData);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  auto removed = HandleTable::instance().remove_if(
      hFindFile, [](const KernelObject& o) { return o.kind() == ObjectKind::FindSearch; });
  return removed ? TRUE : fail(ERROR_INVALID_HANDLE, FALSE);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  FileSystemCall call;
  if (!lpFileName) return fail(ERROR_INVALID_PARAMETER, DWORD(INVALID_FILE_ATTRIBUTES));
  auto path = parse_windows_path(lpFileName);
  if (!path) return fail(path.error(), DWORD(INVALID_FILE_ATTRIBUTES));
  for (const auto& c : path->components)
    if (has_wildcards(c)) return fail(ERROR_INVALID_NAME, DWORD(INVALID_FILE_ATTRIBUTES));
  auto where = locate_parent(*path);
  if (!where) return fail(where.error(), DWORD(INVALID_FILE_ATTRIBUTES));
  std::string relative = where->parent.relative;
  if (!path->components.empty()) {
    auto name = find_entry(where->parent, where->name);
    if (!name) return fail(name.error(), DWORD(INVALID_FILE_ATTRIBUTES));
    relative = where->parent.child(*name);
  }
  base::UniqueFd fd(where->parent.open(relative, O_PATH));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0) return fail(ERROR_FILE_NOT_FOUND, DWORD(INVALID_FILE_ATTRIBUTES));
  // "name\" names a directory; a file by that spelling is not found.
  if (path->trailing_separator && !S_ISDIR(st.st_mode)) return fail(ERROR_INVALID_NAME, DWORD(INVALID_FILE_ATTRIBUTES));
  return attributes_of(fd.get(), st);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  FileSystemCall call;
  if (!lpFileName) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto path = parse_windows_path(lpFileName);
  if (!path) return fail(path.error(), INVALID_HANDLE_VALUE);
  for (const auto& c : path->components)
    if (has_wildcards(c)) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
  if (path->components.empty()) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  auto where = locate_parent(*path);
  if (!where) return fail(where.error(), INVALID_HANDLE_VALUE);

  const DWORD access = sharing_access(dwDesiredAccess);
  int flags = O_NOCTTY;
  if ((access & kShareRead) && (access & kShareWrite))
    flags |= O_RDWR;
  else if (access & kShareWrite)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;

  auto existing = find_entry(where->parent, where->name);
  if (!existing && existing.error() != ERROR_FILE_NOT_FOUND) return fail(existing.error(), INVALID_HANDLE_VALUE);
  const bool exists = bool(existing);
  base::UniqueFd fd;
  if (exists) {
    if (dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    const std::string relative = where->parent.child(*existing);
    fd.reset(where->parent.open(relative, flags));
    if (!fd && errno == EISDIR) {
      if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      fd.reset(where->parent.open(relative, O_RDONLY | O_DIRECTORY));
    } else if (fd && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
      struct stat st;
      if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    if (!fd) return fail(error_from_errno(errno), INVALID_HANDLE_VALUE);
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
      return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (path->trailing_separator) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    const std::string name = base::to_utf8(where->name);
    fd.reset(where->parent.open(where->parent.child(name), flags | O_CREAT | O_EXCL, 0666));
    if (!fd) return fail(error_from_errno(errno), INVALID_HANDLE_VALUE);
    forget_listing(where->parent);
  }

  struct stat st;
  if (fstat(fd.get(), &st) != 0) return fail(error_from_errno(errno), INVALID_HANDLE_VALUE);
  const ShareTable::Id id{st.st_dev, st.st_ino};
  const ShareTable::Open open{access, dwShareMode & (kShareRead | kShareWrite | kShareDelete)};
  if (!share_table().admit(id, open)) return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  auto file = std::make_shared<FileObject>(std::move(fd), id, open, where->parent);
  if (exists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
    if (ftruncate(file->fd(), 0) != 0) return fail(error_from_errno(errno), INVALID_HANDLE_VALUE);
    forget_listing(where->parent);
  }
  const bool opened_existing =
      exists && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
  HANDLE handle = HandleTable::instance().insert(std::move(file));
  SetLastError(opened_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  auto file = HandleTable::instance().get_as<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE, DWORD(INVALID_SET_FILE_POINTER));
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh)
    distance = int64_t(uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32 | uint32_t(lDistanceToMove));
  int whence;
  switch (dwMoveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: return fail(ERROR_INVALID_PARAMETER, DWORD(INVALID_SET_FILE_POINTER));
  }
  // Windows refuses a position before the start and leaves the pointer where it was.
  const off_t here = lseek(file->fd(), 0, SEEK_CUR);
  const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? here : lseek(file->fd(), 0, SEEK_END);
  lseek(file->fd(), here, SEEK_SET);
  if (base + distance < 0) return fail(ERROR_NEGATIVE_SEEK, DWORD(INVALID_SET_FILE_POINTER));
  const off_t pos = lseek(file->fd(), base + distance, SEEK_SET);
  if (pos < 0) return fail(error_from_errno(errno), DWORD(INVALID_SET_FILE_POINTER));
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = LONG(uint64_t(pos) >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(pos);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = HandleTable::instance().get_as<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!file->can_write()) return fail(ERROR_ACCESS_DENIED, FALSE);
  const auto* p = static_cast<const uint8_t*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    const ssize_t n = write(file->fd(), p + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
      forget_listing(file->parent());
      return fail(error_from_errno(n < 0 ? errno : ENOSPC), FALSE);
    }
    done += DWORD(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  // The entry's size and time in the directory's listing changed.
  if (done) forget_listing(file->parent());
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = HandleTable::instance().get_as<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!file->can_read()) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto* p = static_cast<uint8_t*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    const ssize_t n = read(file->fd(), p + done, nNumberOfBytesToRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(error_from_errno(errno), FALSE);
    if (n == 0) break;  // end of file: success with fewer bytes, as Windows does
    done += DWORD(n);
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = HandleTable::instance().get_as<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE, DWORD(INVALID_FILE_SIZE));
  struct stat st;
  if (fstat(file->fd(), &st) != 0) return fail(error_from_errno(errno), DWORD(INVALID_FILE_SIZE));
  if (lpFileSizeHigh) *lpFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(st.st_size);
}
