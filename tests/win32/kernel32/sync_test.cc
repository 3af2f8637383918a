// Named mutexes and semaphores: Windows' results for creating, opening, counting and
// owning them, and their life across real processes (fork, kill -9).
#include "win32/kernel32/sync.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/unicode.h"
#include "tests/support/prefix.h"
#include "tests/support/programs.h"
#include "win32/host/error.h"
#include "win32/kernel32/handle.h"
#include "win32/kernel32/process.h"

namespace {

// Each test gets a prefix of its own, so that its names meet nobody else's.
class Sync : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  // Remembered for closing at the end of the test.
  HANDLE keep(HANDLE h) {
    if (h) handles_.push_back(h);
    return h;
  }
  HANDLE semaphore(const char16_t* name, LONG initial = 0, LONG maximum = 1) {
    return keep(CreateSemaphoreW(nullptr, initial, maximum, name));
  }
  HANDLE mutex(const char16_t* name, BOOL owned = FALSE) { return keep(CreateMutexW(nullptr, owned, name)); }
  void forget(HANDLE h) { std::erase(handles_, h); }

  hivemend::testing::TestPrefix prefix_;
  std::vector<HANDLE> handles_;
};

// A child process that runs `body`, tells the parent through a pipe that it is done
// (one byte), then sleeps until it is killed or `body` ended it.
template <typename Body>
pid_t start_child(Body body) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const char result = body();
    if (write(fds[1], &result, 1) != 1) _exit(99);
    for (;;) pause();
  }
  close(fds[1]);
  char result = 0;
  const bool told = read(fds[0], &result, 1) == 1;
  close(fds[0]);
  return told && result == 'y' ? pid : -1;
}

void kill_child(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST_F(Sync, SecondCreateOpensTheExistingObject) {
  const struct {
    const char16_t *first, *second;
    bool semaphore;
    DWORD second_error;
  } cases[] = {
      {u"Global\\TALVIN99", u"Global\\TALVIN99", true, ERROR_ALREADY_EXISTS},
      {u"Local\\TALVIN99", u"Local\\TALVIN99", true, ERROR_ALREADY_EXISTS},
      {u"Local\\QUENBY99", u"QUENBY99", true, ERROR_ALREADY_EXISTS},  // no namespace: the session's
      {u"Global\\VENDLE99", u"Local\\VENDLE99", true, ERROR_SUCCESS},
      {u"Global\\abc", u"Global\\ABC", true, ERROR_SUCCESS},  // names are case-sensitive
      {u"Global\\TsoHivemend", u"Global\\TsoHivemend", false, ERROR_ALREADY_EXISTS},
      {u"Local\\TsoTalvin", u"Global\\TsoTalvin", false, ERROR_SUCCESS},
      {u"Global\\name with blanks.and.dots", u"Global\\name with blanks.and.dots", false, ERROR_ALREADY_EXISTS},
      {u"Global\\\u00e9t\u00e9", u"Global\\\u00c9T\u00c9", false, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(base::to_utf8(c.first) + " then " + base::to_utf8(c.second));
    SetLastError(12345);
    HANDLE first = c.semaphore ? semaphore(c.first) : mutex(c.first);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE second = c.semaphore ? semaphore(c.second) : mutex(c.second);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(GetLastError(), c.second_error);
    for (HANDLE h : {first, second}) {
      forget(h);
      EXPECT_TRUE(CloseHandle(h));
    }
  }
}

TEST_F(Sync, NamesThatCannotBeCreated) {
  const std::u16string too_long = u"Global\\" + std::u16string(MAX_PATH, u'x');
  for (auto [name, error] : {std::pair<std::u16string, DWORD>{u"Session\\1\\x", ERROR_PATH_NOT_FOUND},
                             {u"Global\\a\\b", ERROR_PATH_NOT_FOUND},
                             {u"Global\\", ERROR_INVALID_NAME},
                             {too_long, ERROR_FILENAME_EXCED_RANGE}}) {
    SCOPED_TRACE(base::to_utf8(name));
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), error);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), error);
  }
}

TEST_F(Sync, MutexAndSemaphoreShareTheNamespace) {
  ASSERT_NE(mutex(u"Global\\Shared"), nullptr);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, u"Global\\Shared"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, u"Global\\Shared"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(Sync, ObjectGoesWithItsLastHandle) {
  HANDLE first = CreateSemaphoreW(nullptr, 0, 1, u"Global\\HIVEMEND99");
  ASSERT_NE(first, nullptr);
  HANDLE opened = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, u"Global\\HIVEMEND99");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(first));
  // Still held through the second handle.
  HANDLE again = CreateSemaphoreW(nullptr, 0, 1, u"Global\\HIVEMEND99");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, u"Global\\HIVEMEND99"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"Global\\Nothing"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  // A closed handle names nothing any more.
  EXPECT_FALSE(ReleaseSemaphore(opened, 1, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  ASSERT_NE(semaphore(u"Global\\HIVEMEND99"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
}

TEST_F(Sync, SemaphoreCounts) {
  for (auto [initial, maximum] : std::initializer_list<std::pair<LONG, LONG>>{{2, 1}, {-1, 1}, {0, 0}}) {
    EXPECT_EQ(semaphore(nullptr, initial, maximum), nullptr) << initial << "/" << maximum;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
  HANDLE h = semaphore(u"Global\\Counted", 0, 2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_TIMEOUT));
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(h, 1, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_TRUE(ReleaseSemaphore(h, 1, &previous));
  EXPECT_EQ(previous, 1);
  previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(h, 1, &previous));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
  EXPECT_EQ(previous, -1);

  // An opened semaphore keeps the counts it was created with.
  HANDLE other = semaphore(u"Global\\Counted", 0, 10);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(WaitForSingleObject(other, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(h, 20), DWORD(WAIT_TIMEOUT));
}

TEST_F(Sync, MutexOwnership) {
  HANDLE h = mutex(u"Global\\Owned", TRUE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_OBJECT_0));  // the owner takes it again
  EXPECT_TRUE(ReleaseMutex(h));
  EXPECT_TRUE(ReleaseMutex(h));
  EXPECT_FALSE(ReleaseMutex(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
  // Taken by a process that is then killed: abandoned, and the next taker owns it.
  const pid_t child = start_child([] {
    HANDLE own = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"Global\\Owned");
    return own && WaitForSingleObject(own, 0) == DWORD(WAIT_OBJECT_0) ? 'y' : 'n';
  });
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_TIMEOUT));
  EXPECT_FALSE(ReleaseMutex(h));
  kill_child(child);
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_ABANDONED));
  EXPECT_TRUE(ReleaseMutex(h));
}

TEST_F(Sync, ObjectOfAKilledProcessIsGone) {
  for (const char16_t* name : {u"Global\\TALVIN99", u"Local\\TALVIN99"}) {
    SCOPED_TRACE(base::to_utf8(name));
    const pid_t child = start_child([name] {
      HANDLE h = CreateSemaphoreW(nullptr, 0, 1, name);
      return h && GetLastError() == DWORD(ERROR_SUCCESS) ? 'y' : 'n';
    });
    ASSERT_GT(child, 0);
    HANDLE seen = CreateSemaphoreW(nullptr, 0, 1, name);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(seen));
    kill_child(child);
    HANDLE fresh = semaphore(name);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  }
}

// As on Windows, any user may create and open global objects, whoever made the
// namespace before (root, with the umask a login gives); no user may delete the file of
// another's live object.
TEST_F(Sync, EveryUserSharesTheGlobalNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and the user nobody";
  const mode_t old_umask = umask(022);
  HANDLE root_mutex = mutex(u"Global\\RootMutex");
  umask(old_umask);
  ASSERT_NE(root_mutex, nullptr);
  ASSERT_EQ(chmod(prefix_.dir().c_str(), 0755), 0);
  const std::string root_file = prefix_.dir() + "/objects/global/RootMutex";
  const pid_t child = start_child([&root_file] {
    using hivemend::testing::kNobody;
    if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) _exit(1);
    const bool opened =
        CreateMutexW(nullptr, FALSE, u"Global\\RootMutex") && GetLastError() == DWORD(ERROR_ALREADY_EXISTS);
    const bool created =
        CreateSemaphoreW(nullptr, 0, 1, u"Global\\NobodySemaphore") && GetLastError() == DWORD(ERROR_SUCCESS);
    const bool kept = unlink(root_file.c_str()) != 0 && errno == EPERM;
    if (!(opened && created && kept)) _exit(1);  // the parent then sees no answer
    return 'y';
  });
  ASSERT_GT(child, 0);
  EXPECT_NE(semaphore(u"Global\\NobodySemaphore"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  kill_child(child);
}

TEST_F(Sync, ExactlyOneOfManyRacingProcessesCreates) {
  constexpr int kProcesses = 8;
  int go[2];
  int report[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(report), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(98);  // all start when the parent closes the pipe
      HANDLE h = CreateSemaphoreW(nullptr, 0, 1, u"Global\\Race");
      const char result = !h ? 'f' : GetLastError() == DWORD(ERROR_ALREADY_EXISTS) ? 'e' : 'c';
      if (write(report[1], &result, 1) != 1) _exit(99);
      for (;;) pause();
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  close(report[1]);
  int created = 0, existed = 0;
  for (int i = 0; i < kProcesses; ++i) {
    char c = 0;
    ASSERT_EQ(read(report[0], &c, 1), 1);
    created += c == 'c';
    existed += c == 'e';
  }
  close(report[0]);
  for (pid_t pid : children) kill_child(pid);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(existed, kProcesses - 1);
}

}  // namespace
