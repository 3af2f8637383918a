// TsoExtractAccess.dll: the product's managed logging component. Its type
// Tsovane.ExtractAccess has two methods. ExtendedLogMessage(context, message) appends one
// entry to logs/hivemend.log in the prefix:
//
//   <local time yyyy-mm-dd hh:mm:ss.mmm> TAB <context> TAB <message> LF
//
// in UTF-8. A message keeps its own CR LF line breaks (the traversal's KEYPATH records),
// so an entry ends at the first LF not preceded by CR. Flush() writes every entry logged
// so far.
//
// Entries are written in blocks of whole entries, in order, one write to the file opened
// for appending per block: a block goes out when it reaches kBlockBytes, at the latest
// kFlushDelay after its first entry was logged (a thread of the component's own), on
// Flush(), and when the process ends (exit, ExitProcess, TerminateProcess of itself) or
// the component is unloaded. The file stays open from one block to the next while nothing
// in the logs folder changes: a file removed or renamed there (a rotation, say) is opened
// again, made anew, for the next block. A forked child writes its own entries only; the
// parent's still waiting are the parent's to write.
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/unicode.h"
#include "win32/com/managed.h"
#include "win32/host/detach.h"
#include "win32/host/prefix.h"
#include "win32/kernel32/wstring.h"

namespace {

// A block is written once it holds this many bytes.
constexpr size_t kBlockBytes = 64 * 1024;
// The longest an entry waits in a block before it reaches the file.
constexpr auto kFlushDelay = std::chrono::milliseconds(50);

// The class keeps no state: each log line is a call on a new instance.
struct ExtractAccess {};

// A text the caller passed by address (a NUL-terminated UTF-16 string in this
// process); address 0 is the empty text.
std::u16string_view text_at(LONGLONG address) {
  const auto* text = reinterpret_cast<const char16_t*>(static_cast<LONG_PTR>(address));
  return text ? std::u16string_view(text, wcslen(text)) : std::u16string_view();
}

class LogFile {
 public:
  // Appends one entry; writes the block when it is full. Throws when the prefix has no
  // usable logs folder or the block cannot be written.
  void append(std::u16string_view context, std::u16string_view message);
  // Writes the entries logged so far; throws when they cannot be written (they are lost).
  void flush();
  // Writes the entries logged so far and every later one at once: the process is
  // ending, or the component is unloaded.
  void close();

  void fork_prepare() { mutex_.lock(); }
  void fork_parent() { mutex_.unlock(); }
  void fork_child();

 private:
  void use_file();
  int open_file(base::UniqueFd& once);
  bool folder_changed();
  void write_block();
  void append_stamp();
  void flusher();

  std::mutex mutex_;
  std::condition_variable pending_;  // tells the flusher that a block has begun
  std::condition_variable started_;  // tells the thread that made the flusher it runs
  std::string block_;                // whole entries not written yet
  std::string prefix_;               // the prefix file_ was found in
  std::string dir_, file_;
  base::UniqueFd fd_;
  base::UniqueFd changes_;  // an inotify watch on dir_: entries made, removed, renamed
  std::thread thread_;
  bool idle_ = false;     // the flusher waits for a block to begin
  bool running_ = false;  // the flusher has started
  bool closing_ = false;  // no block is kept: every entry is written at once
  std::time_t stamp_secs_ = -1;
  char stamp_[64] = {};  // "yyyy-mm-dd hh:mm:ss" of stamp_secs_
};

LogFile& log_file() {
  static auto* log = new LogFile;  // lives to the end of the process: used while it ends
  return *log;
}

// With the mutex held: the file is found again when its prefix changed. Entries still
// waiting go to the file they were logged for.
void LogFile::use_file() {
  const auto prefix = hivemend::win32::prefix_dir();
  if (!prefix) throw std::runtime_error("ExtendedLogMessage: no prefix folder");
  std::string dir = *prefix + "/logs";
  if (dir != dir_) {
    try {
      write_block();
    } catch (const std::system_error&) {  // lost with the file they were meant for
    }
    fd_.reset();
    changes_.reset();
    dir_ = std::move(dir);
    file_ = dir_ + "/hivemend.log";
    // Opened at once, so that every entry for a prefix without a usable logs folder fails.
    base::UniqueFd once;
    if (open_file(once) < 0) {
      const int error = errno;
      dir_.clear();
      prefix_.clear();
      throw std::system_error(error, std::generic_category(), "ExtendedLogMessage: " + file_);
    }
  }
  prefix_ = *prefix;
}

bool LogFile::folder_changed() {
  alignas(inotify_event) char events[4096];
  bool changed = false;
  while (read(changes_.get(), events, sizeof events) > 0) changed = true;
  return changed;
}

// With the mutex held: the descriptor of file_, opened for appending (made, with the
// folder, when missing): the kept one, or `once` when the folder cannot be watched. -1
// with errno when it cannot be opened.
int LogFile::open_file(base::UniqueFd& once) {
  if (fd_ && !folder_changed()) return fd_.get();
  fd_.reset();
  // Watched before it is opened, so that a change made meanwhile is not missed.
  changes_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
  const bool watched = changes_ && inotify_add_watch(changes_.get(), dir_.c_str(), kChanges) >= 0;
  base::UniqueFd fd = hivemend::win32::open_shared_file(file_, O_WRONLY | O_APPEND);
  if (!fd && errno == ENOENT) {
    // The folder is made with the first entry (or again, when it was removed). Every
    // user's tools log here, a non-administrator's hand-off program included.
    if (!hivemend::win32::make_shared_folder(dir_)) return -1;
    fd = hivemend::win32::open_shared_file(file_, O_WRONLY | O_APPEND);
  }
  if (!fd) return -1;
  if (!watched) {
    once = std::move(fd);
    return once.get();
  }
  fd_ = std::move(fd);
  return fd_.get();
}

// With the mutex held. A block that cannot be written is dropped, and the file opened
// again for the next one.
void LogFile::write_block() {
  if (block_.empty()) return;
  base::UniqueFd once;
  const int fd = open_file(once);
  int error = errno;
  size_t done = 0;
  while (fd >= 0 && done < block_.size()) {
    const ssize_t written = ::write(fd, block_.data() + done, block_.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      break;
    }
    done += size_t(written);
  }
  const bool whole = done == block_.size();
  block_.clear();
  if (!whole) {
    fd_.reset();
    throw std::system_error(error, std::generic_category(), "ExtendedLogMessage: " + file_);
  }
}

void LogFile::append_stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  if (secs != stamp_secs_) {
    std::tm tm{};
    localtime_r(&secs, &tm);
    std::snprintf(stamp_, sizeof stamp_, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    stamp_secs_ = secs;
  }
  block_ += stamp_;
  const char fraction[] = {'.', char('0' + millis / 100), char('0' + millis / 10 % 10), char('0' + millis % 10)};
  block_.append(fraction, sizeof fraction);
}

void LogFile::append(std::u16string_view context, std::u16string_view message) {
  bool wake = false;
  {
    std::unique_lock lock(mutex_);
    // The file is found again only when the prefix the environment names changed.
    if (prefix_.empty() || !hivemend::win32::is_prefix_dir(prefix_)) use_file();
    const size_t start = block_.size();
    try {
      append_stamp();
      block_ += '\t';
      base::append_utf8(block_, context);
      block_ += '\t';
      base::append_utf8(block_, message);
      block_ += '\n';
    } catch (...) {
      block_.resize(start);  // no part of an entry is written
      throw;
    }
    if (closing_ || block_.size() >= kBlockBytes) {
      write_block();
    } else if (start == 0) {
      if (!thread_.joinable()) {
        thread_ = std::thread([this] { flusher(); });
        // The new thread's own start-up allocates. It is over before the entry returns,
        // so that a fork (which takes the mutex first) never copies a flusher caught
        // half-started, holding a lock of the allocator the child would wait on forever.
        started_.wait(lock, [this] { return running_; });
      }
      wake = idle_;
    }
  }
  if (wake) pending_.notify_one();
}

void LogFile::flush() {
  std::lock_guard lock(mutex_);
  write_block();
}

void LogFile::flusher() {
  std::unique_lock lock(mutex_);
  running_ = true;
  started_.notify_all();
  while (!closing_) {
    idle_ = true;
    pending_.wait(lock, [this] { return !block_.empty() || closing_; });
    idle_ = false;
    pending_.wait_for(lock, kFlushDelay, [this] { return closing_; });
    try {
      write_block();
    } catch (...) {  // the block is lost, as the entry of a failing call
    }
  }
}

void LogFile::close() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    thread = std::move(thread_);
  }
  pending_.notify_one();
  if (thread.joinable()) thread.join();
  try {
    flush();
  } catch (...) {  // nobody is left to tell
  }
}

// The forking thread holds the mutex (fork_prepare). The child has no flusher, and its
// copy of the watch would take the parent's changes: it starts both anew.
void LogFile::fork_child() {
  new (&thread_) std::thread;
  new (&pending_) std::condition_variable;
  new (&started_) std::condition_variable;
  idle_ = false;
  running_ = false;
  block_.clear();
  fd_.reset();
  changes_.reset();
  mutex_.unlock();
}

// Writes the waiting entries when the process exits or the component is unloaded.
struct CloseAtEnd {
  ~CloseAtEnd() { log_file().close(); }
} close_at_end;

// ExtendedLogMessage(long context, long message): the two texts' addresses. A prefix
// without a usable logs folder, or a block that cannot be written, throws, which the
// caller sees as the method's exception.
void ExtendedLogMessage(void*, const VARIANT* args, VARIANT*) {
  // Set up with the first entry: by then the runtime holds the component loaded for
  // the rest of the process.
  static std::once_flag hooks;
  std::call_once(hooks, [] {
    pthread_atfork([] { log_file().fork_prepare(); }, [] { log_file().fork_parent(); },
                   [] { log_file().fork_child(); });
    hivemend::win32::on_process_detach([] {
      try {
        log_file().flush();
      } catch (...) {  // the process ends anyway
      }
    });
  });
  log_file().append(text_at(args[0].llVal), text_at(args[1].llVal));
}

// Flush(): every entry logged so far reaches the file.
void Flush(void*, const VARIANT*, VARIANT*) { log_file().flush(); }

constexpr VARTYPE kLogMessageParams[] = {VT_I8, VT_I8};
const HIVEMEND_MANAGED_METHOD kMethods[] = {
    {u"ExtendedLogMessage", 2, kLogMessageParams, ExtendedLogMessage},
    {u"Flush", 0, nullptr, Flush},
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
