// TsoExtractAccess.dll: the product's managed logging component. Its type
// Tsovane.ExtractAccess has one method, ExtendedLogMessage(context, message), which
// appends one entry to logs/hivemend.log in the prefix:
//
//   <local time yyyy-mm-dd hh:mm:ss.mmm> TAB <context> TAB <message> LF
//
// in UTF-8. A message keeps its own CR LF line breaks (the traversal's KEYPATH records),
// so an entry ends at the first LF not preceded by CR. Each entry is one write to the
// file opened for appending, so entries stay whole and in order. The file stays open
// from one entry to the next while nothing in the logs folder changes: a file removed
// or renamed there (a rotation, say) is opened again, made anew, for the next entry.
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "base/unicode.h"
#include "win32/com/managed.h"
#include "win32/host/prefix.h"

namespace {

// The class keeps no state: each log line is a call on a new instance.
struct ExtractAccess {};

// A text the caller passed by address (a NUL-terminated UTF-16 string in this
// process); address 0 is the empty text.
std::u16string_view text_at(LONGLONG address) {
  const auto* text = reinterpret_cast<const char16_t*>(static_cast<LONG_PTR>(address));
  return text ? std::u16string_view(text) : std::u16string_view();
}

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
  return stamp;
}

// The log file, open, with a watch on its folder that reports any entry removed, renamed
// or made there.
struct OpenLog {
  std::mutex mutex;
  std::string file;
  base::UniqueFd fd;
  base::UniqueFd changes;
};

OpenLog& open_log() {
  static auto* log = new OpenLog;  // lives to the end of the process
  return *log;
}

// A forked child shares the parent's queue of changes: it opens the file again itself.
void fork_child() {
  OpenLog& log = open_log();
  new (&log.mutex) std::mutex;
  log.fd.reset();
  log.changes.reset();
  log.file.clear();
}

bool folder_changed(OpenLog& log) {
  alignas(inotify_event) char events[4096];
  bool changed = false;
  while (read(log.changes.get(), events, sizeof events) > 0) changed = true;
  return changed;
}

// With log.mutex held: the descriptor of `file` in folder `dir`, opened for appending
// (made, with the folder, when missing): the kept one, or `once` when the folder cannot
// be watched. -1 with errno when it cannot be opened.
int log_fd(OpenLog& log, const std::string& dir, const std::string& file, base::UniqueFd& once) {
  if (log.fd && log.file == file && !folder_changed(log)) return log.fd.get();
  log.fd.reset();
  log.file.clear();
  static std::once_flag forks;
  std::call_once(forks, [] { pthread_atfork(nullptr, nullptr, fork_child); });
  // Watched before it is opened, so that a change made meanwhile is not missed.
  log.changes.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
  const bool watched = log.changes && inotify_add_watch(log.changes.get(), dir.c_str(), kChanges) >= 0;
  base::UniqueFd fd = hivemend::win32::open_shared_file(file, O_WRONLY | O_APPEND);
  if (!fd && errno == ENOENT) {
    // The folder is made with the first line (or again, when it was removed). Every
    // user's tools log here, a non-administrator's hand-off program included.
    if (!hivemend::win32::make_shared_folder(dir)) return -1;
    fd = hivemend::win32::open_shared_file(file, O_WRONLY | O_APPEND);
  }
  if (!fd) return -1;
  if (!watched) {
    once = std::move(fd);
    return once.get();
  }
  log.fd = std::move(fd);
  log.file = file;
  return log.fd.get();
}

// ExtendedLogMessage(long context, long message): the two texts' addresses. Failing to
// write throws, which the caller sees as the method's exception.
void ExtendedLogMessage(void*, const VARIANT* args, VARIANT*) {
  const auto prefix = hivemend::win32::prefix_dir();
  if (!prefix) throw std::runtime_error("ExtendedLogMessage: no prefix folder");
  const std::string dir = *prefix + "/logs";

  std::string line = timestamp();
  line += '\t';
  line += base::to_utf8(text_at(args[0].llVal));
  line += '\t';
  line += base::to_utf8(text_at(args[1].llVal));
  line += '\n';

  const std::string file = dir + "/hivemend.log";
  OpenLog& log = open_log();
  std::lock_guard lock(log.mutex);
  base::UniqueFd once;
  const int fd = log_fd(log, dir, file, once);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "ExtendedLogMessage: " + file);
  const ssize_t written = ::write(fd, line.data(), line.size());
  const int error = errno;
  if (written != static_cast<ssize_t>(line.size())) {
    log.fd.reset();  // opened again for the next entry
    throw std::system_error(written < 0 ? error : EIO, std::generic_category(), "ExtendedLogMessage: " + file);
  }
}

constexpr VARTYPE kLogMessageParams[] = {VT_I8, VT_I8};
const HIVEMEND_MANAGED_METHOD kMethods[] = {
    {u"ExtendedLogMessage", 2, kLogMessageParams, ExtendedLogMessage},
    {nullptr, 0, nullptr, nullptr},
};

void* New() { return new ExtractAccess; }
void Delete(void* instance) { delete static_cast<ExtractAccess*>(instance); }

}  // namespace

extern "C" {
__attribute__((visibility("default"))) extern const HIVEMEND_MANAGED_TYPE HivemendManagedTypes[] = {
    {u"Tsovane.ExtractAccess", New, Delete, kMethods, VT_EMPTY},
    {nullptr, nullptr, nullptr, nullptr, VT_EMPTY},
};
}
