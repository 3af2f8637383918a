// What the layer shows of an ntfs-3g drive (FindFirstFileW, GetFileAttributesW), from the
// volume's records or through ntfs-3g, against what the mount itself says at that moment:
// readdir, lstat and the system.ntfs_attrib and system.ntfs_dos_name attributes, under
// Windows' rules for short names. Sizes through the environment: HIVEMEND_NTFS_VIEW_SEED
// replays a random run, HIVEMEND_NTFS_VIEW_SIZE=big makes the runs as large as the
// faults were first seen with.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "base/unicode.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/prefix.h"
#include "win32/host/ntfs_records.h"
#include "win32/kernel32/change.h"
#include "win32/kernel32/file.h"
#include "win32/kernel32/process.h"

namespace {

using namespace hivemend::testing;
namespace win32 = hivemend::win32;

bool big_runs() {
  const char* size = std::getenv("HIVEMEND_NTFS_VIEW_SIZE");
  return size && std::string(size) == "big";
}

// The seed of a random run: HIVEMEND_NTFS_VIEW_SEED replays one.
// The seed of a run: HIVEMEND_NTFS_VIEW_SEED's, "random" for a new one each run, else a
// fixed one, so that a test run always makes the same changes (a new seed explores; a
// failing one is printed, to replay).
uint32_t run_seed() {
  const char* text = std::getenv("HIVEMEND_NTFS_VIEW_SEED");
  if (!text) return 20261207;
  return std::string(text) == "random" ? std::random_device()() : uint32_t(std::stoul(text));
}

uint32_t ntfs_attrib(const std::string& path) {
  uint8_t b[4] = {};
  if (lgetxattr(path.c_str(), "system.ntfs_attrib", b, 4) != 4) return 0;
  const uint32_t a = b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool set_ntfs_attrib(const std::string& path, uint32_t attributes) {
  const uint8_t b[4] = {uint8_t(attributes), uint8_t(attributes >> 8), uint8_t(attributes >> 16),
                        uint8_t(attributes >> 24)};
  return lsetxattr(path.c_str(), "system.ntfs_attrib", b, 4, 0) == 0;
}

bool append(const std::string& path, size_t bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  const std::string data(bytes, 'a');
  const bool ok = fd >= 0 && write(fd, data.data(), bytes) == ssize_t(bytes);
  if (fd >= 0) close(fd);
  return ok;
}

// One entry as Windows shows it.
struct Shown {
  std::u16string short_name;
  DWORD attributes = 0;
  uint64_t size = 0;
  bool operator==(const Shown&) const = default;
};
using View = std::map<std::u16string, Shown>;  // by long name

std::string describe(const std::optional<Shown>& s) {
  if (!s) return "(none)";
  char fields[64];
  std::snprintf(fields, sizeof fields, " attr=%x size=%llu", unsigned(s->attributes), (unsigned long long)s->size);
  return "short=\"" + base::to_utf8(s->short_name) + "\"" + fields;
}

Shown shown(const WIN32_FIND_DATAW& d) {
  return {d.cAlternateFileName, d.dwFileAttributes, uint64_t(d.nFileSizeHigh) << 32 | d.nFileSizeLow};
}

// The layer's listing of a directory ("." and ".." left out); nullopt when the search fails.
std::optional<View> layer_listing(const std::u16string& dir) {
  std::optional<View> view;
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW((dir + u"\\*").c_str(), &d);
  // A drive's root has no "." and "..": when it is empty, nothing matches.
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional<View>(View{}) : view;
  view.emplace();
  do {
    if (std::u16string_view(d.cFileName) != u"." && std::u16string_view(d.cFileName) != u"..")
      (*view)[d.cFileName] = shown(d);
  } while (FindNextFileW(h, &d));
  FindClose(h);
  return view;
}

// The first entry a search for `path` finds, with its long name.
std::optional<std::pair<std::u16string, Shown>> layer_lookup(const std::u16string& path) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(path.c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(h);
  return std::pair{std::u16string(d.cFileName), shown(d)};
}

// The short name Windows shows for `name` whose DOS name is `dos`: none for a name that is
// its own 8.3 name (stored once for both, as `dir /x` shows it).
std::u16string shown_short_name(const std::string& name, const std::string& dos) {
  return base::equal_nocase(base::from_utf8(name), base::from_utf8(dos)) ? u"" : base::from_utf8(dos);
}

// The directory as ntfs-3g lists it: the names readdir gives that lstat finds, each with
// its attributes and size, and the short name shown for the DOS name `dos_of(name)`;
// nullopt when the directory cannot be read whole.
std::optional<View> ntfs3g_listing(const std::string& dir,
                                   const std::function<std::string(const std::string&)>& dos_of) {
  DIR* d = opendir(dir.c_str());
  if (!d) return std::nullopt;
  std::optional<View> view{View{}};
  for (;;) {
    errno = 0;
    const dirent* e = readdir(d);
    if (!e) break;
    const std::string name = e->d_name, path = dir + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
    (*view)[base::from_utf8(name)] = {shown_short_name(name, dos_of(name)), ntfs_attrib(path),
                                      S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size)};
  }
  if (errno != 0) view.reset();
  closedir(d);
  return view;
}

// "name: layer ... ntfs-3g ..." for each entry the two views show differently.
std::vector<std::string> differences(const View& layer, const View& expected) {
  std::vector<std::string> out;
  std::set<std::u16string> names;
  for (const auto& [name, _] : layer) names.insert(name);
  for (const auto& [name, _] : expected) names.insert(name);
  for (const auto& name : names) {
    auto at = [&](const View& v) { return v.contains(name) ? std::optional(v.at(name)) : std::nullopt; };
    if (at(layer) != at(expected))
      out.push_back(base::to_utf8(name) + ": layer " + describe(at(layer)) + ", ntfs-3g " + describe(at(expected)));
  }
  return out;
}

// Runs `check(records)` with the records read from the device, then through ntfs-3g.
void on_both_paths(const std::function<void(bool records)>& check) {
  for (bool records : {true, false}) {
    SCOPED_TRACE(records ? "records read from the device" : "through ntfs-3g");
    win32::set_ntfs_records_enabled(records);
    check(records);
  }
  win32::set_ntfs_records_enabled(true);
}

// A fresh volume as drive C.
class NtfsView : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    volume_ = NtfsVolume::create(&why_not);
    if (!volume_) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << why_not;
    ASSERT_TRUE(prefix_.define_drive('c', volume_->root()));
  }
  void TearDown() override { win32::set_ntfs_records_enabled(true); }
  std::string path(const std::string& relative) const { return volume_->path(relative); }
  // The Windows path of `relative` ("a/b") on drive C.
  static std::u16string on_c(std::string relative) {
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return u"C:\\" + base::from_utf8(relative);
  }
  // Files "entry 1.dat" to "entry <count>.dat" in `dir`, made with its parents.
  void fill(const std::string& dir, int count) const {
    std::filesystem::create_directories(path(dir));
    for (int i = 1; i <= count; ++i) write_text(path(dir + "/entry " + std::to_string(i) + ".dat"), "e");
  }
  TestPrefix prefix_;
  std::unique_ptr<NtfsVolume> volume_;
};

// Short names of hard links, of names that are their own 8.3 name, and names matched
// under the volume's upper-case table, one folder compressed; from the records, no
// directory here is left to ntfs-3g.
TEST_F(NtfsView, FixedCasesOnBothPaths) {
  std::filesystem::create_directories(path("One"));
  std::filesystem::create_directories(path("Two/Other"));
  std::filesystem::create_directories(path("Own"));
  // Compressed, as a folder of a Windows volume may be: the files made in it are too.
  ASSERT_TRUE(set_ntfs_attrib(path("Own"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_COMPRESSED));
  std::filesystem::create_directories(path("Case/Side"));
  // Hard links: the DOS name is made with the first (ntfs-3g refuses one on a file that
  // has several links), then the second link is added.
  write_text(path("One/first long name.txt"), "1");
  ASSERT_TRUE(NtfsVolume::set_short_name(path("One/first long name.txt"), "FIRSTL~1.TXT"));
  ASSERT_EQ(link(path("One/first long name.txt").c_str(), path("One/second long name.txt").c_str()), 0);
  write_text(path("Two/linked long name.txt"), "2");
  ASSERT_TRUE(NtfsVolume::set_short_name(path("Two/linked long name.txt"), "LINKED~1.TXT"));
  ASSERT_EQ(link(path("Two/linked long name.txt").c_str(), path("Two/Other/linked elsewhere.txt").c_str()), 0);
  // Own 8.3 names: given as the DOS name of an upper-case name, and of a lower-case one
  // (ntfs-3g then stores the two as one name).
  write_text(path("Own/README.TXT"), "r");
  ASSERT_TRUE(NtfsVolume::set_short_name(path("Own/README.TXT"), "README.TXT"));
  write_text(path("Own/readme2.txt"), "r");
  ASSERT_TRUE(NtfsVolume::set_short_name(path("Own/readme2.txt"), "README2.TXT"));

  // Case: each stored name, a spelling to find it by, and whether NTFS finds it under the
  // table mkntfs writes (Windows' own differs for some letters: the volume's decides).
  // Every row is checked against the volume's $UpCase below.
  const struct {
    const char* stored;
    const char16_t* query;
    bool found;
  } folds[] = {
      {"x\xc4\xb1x.txt", u"XIX.TXT", false},     // dotless i: no upper case here
      {"x\xc5\xbfx.txt", u"XSX.TXT", false},     // long s
      {"a\xcf\x82.txt", u"A\u03a3.TXT", false},  // final sigma
      {"5\xc2\xb5"
       "F.txt",
       u"5\u039cF.TXT", false},                 // micro sign
      {"b\xcf\x83.txt", u"B\u03a3.TXT", true},  // sigma
      {"\xc3\xbf"
       "y.txt",
       u"\u0178Y.TXT", true},  // y with diaeresis
      {"\xc7\x86"
       "dz.txt",
       u"\u01c4DZ.TXT", true},  // dz with caron
      {"\xc7\x85"
       "x.txt",
       u"\u01c4X.TXT", false},  // its title case form
      {"\xe2\xb1\xa5"
       "a.txt",
       u"\u023aA.TXT", true},  // a with stroke
      {"stra\xc3\x9f"
       "e.txt",
       u"STRASSE.TXT", false},  // sharp s
      {"\xe2\x84\xaa"
       "elvin.txt",
       u"KELVIN.TXT", false},
      {"\xf0\x9f\x98\x80"
       "e.txt",
       u"\U0001F600E.TXT", true},  // outside the BMP: a surrogate pair
      {"\xf0\x90\x90\xa8"
       "d.txt",
       u"\U00010400D.TXT", false},  // Deseret small letter: NTFS folds no pair
  };
  std::vector<uint8_t> upcase_bytes = read_bytes(path("$UpCase"));
  ASSERT_EQ(upcase_bytes.size(), 131072u) << "the volume's $UpCase through ntfs-3g";
  auto upcase = [&](std::u16string s) {
    for (char16_t& c : s) c = char16_t(upcase_bytes[2 * c] | upcase_bytes[2 * c + 1] << 8);
    return s;
  };
  for (const auto& f : folds) {
    write_text(path("Case/" + std::string(f.stored)), "c");
    EXPECT_EQ(upcase(base::from_utf8(f.stored)) == upcase(f.query), f.found) << f.stored << " in mkntfs's $UpCase";
  }
  write_text(path("Case/Side/xIx.txt"), "I");
  write_text(path("Case/Side/x\xc4\xb1x.txt"), "dotless");

  // A search for each path: the long name it finds (none: not found) and the short name
  // shown, from the records and through ntfs-3g (none: not asked on that path).
  const struct {
    std::u16string path;
    const char16_t *long_name, *short_from_records, *short_through_ntfs3g;
  } cases[] = {
      {u"C:\\One\\first long name.txt", u"first long name.txt", u"FIRSTL~1.TXT", u""},
      {u"C:\\One\\FIRSTL~1.TXT", u"first long name.txt", u"FIRSTL~1.TXT", nullptr},
      {u"C:\\One\\second long name.txt", u"second long name.txt", u"", u""},
      {u"C:\\Two\\linked long name.txt", u"linked long name.txt", u"LINKED~1.TXT", u""},
      {u"C:\\Two\\Other\\linked elsewhere.txt", u"linked elsewhere.txt", u"", u""},
      {u"C:\\Two\\Other\\LINKED~1.TXT", nullptr, nullptr, nullptr},
      {u"C:\\Own\\README.TXT", u"README.TXT", u"", u""},
      {u"C:\\Own\\readme2.txt", u"readme2.txt", u"", u""},
      {u"C:\\Own\\README2.TXT", u"readme2.txt", u"", u""},
      {u"C:\\Case\\Side\\X\u0131X.TXT", u"x\u0131x.txt", u"", u""},
      {u"C:\\Case\\Side\\XIX.TXT", u"xIx.txt", u"", u""},
  };
  on_both_paths([&](bool records) {
    const uint64_t fallbacks = win32::ntfs_fallbacks().total();
    for (const auto& c : cases) {
      const auto found = layer_lookup(c.path);
      const char16_t* expected_short = records ? c.short_from_records : c.short_through_ntfs3g;
      if (c.long_name && !expected_short) continue;
      EXPECT_EQ(found.has_value(), c.long_name != nullptr) << base::to_utf8(c.path);
      EXPECT_EQ(GetFileAttributesW(c.path.c_str()) != INVALID_FILE_ATTRIBUTES, c.long_name != nullptr)
          << "GetFileAttributesW " << base::to_utf8(c.path);
      if (!found || !c.long_name) continue;
      EXPECT_EQ(base::to_utf8(found->first), base::to_utf8(c.long_name)) << base::to_utf8(c.path);
      EXPECT_EQ(base::to_utf8(found->second.short_name), base::to_utf8(expected_short)) << base::to_utf8(c.path);
      // The directory's listing shows it the same way.
      const auto listing = layer_listing(c.path.substr(0, c.path.rfind(u'\\')));
      ASSERT_TRUE(listing && listing->contains(c.long_name)) << base::to_utf8(c.path);
      EXPECT_EQ(base::to_utf8(listing->at(c.long_name).short_name), base::to_utf8(expected_short))
          << base::to_utf8(c.path) << " in its directory's listing";
    }
    for (const auto& f : folds) {
      const auto found = layer_lookup(u"C:\\Case\\" + std::u16string(f.query));
      EXPECT_EQ(found.has_value(), f.found) << "C:\\Case\\" << base::to_utf8(f.query) << " for " << f.stored;
      if (found) { EXPECT_EQ(base::to_utf8(found->first), f.stored); }
      EXPECT_EQ(GetFileAttributesW((u"C:\\Case\\" + std::u16string(f.query)).c_str()) != INVALID_FILE_ATTRIBUTES,
                f.found)
          << "GetFileAttributesW C:\\Case\\" << base::to_utf8(f.query);
    }
    if (records) { EXPECT_EQ(win32::ntfs_fallbacks().total(), fallbacks) << "a directory here read through ntfs-3g"; }
  });
}

// Random changes through the mount (create, delete, rename, move, DOS name, attributes,
// append, hard link) in a small directory and one with index blocks; after each, every
// search of the changed directories and names answers as ntfs-3g does now. A file with
// several links shows its DOS name on the link it was made for when the answer comes from
// the records, and none through ntfs-3g (which refuses it on such a file).
TEST_F(NtfsView, RandomChangesAreSeenByTheNextSearch) {
  const int big_entries = big_runs() ? 1500 : 200, rounds = big_runs() ? 600 : 150;
  const std::string dirs[] = {"Small", "Big"};
  fill(dirs[0], 5);
  fill(dirs[1], big_entries);
  // The MFT grown beforehand: every file made below has its record in the runs read at
  // the first search (growth after it is a case of its own).
  fill("Scratch", 2 * rounds + 100);
  std::filesystem::remove_all(path("Scratch"));

  struct Link {
    int dir;
    std::string name;
    auto operator<=>(const Link&) const = default;
  };
  struct File {
    std::vector<Link> links;
    std::optional<Link> dos_link;  // the link its DOS name was made for
    std::string dos;
  };
  std::vector<File> files;
  std::map<Link, size_t> file_of;
  std::vector<std::set<std::string>> names(2);
  for (int d = 0; d < 2; ++d)
    for (int i = 1; i <= (d ? big_entries : 5); ++i) {
      files.push_back(File{{Link{d, "entry " + std::to_string(i) + ".dat"}}, {}, {}});
      file_of[files.back().links[0]] = files.size() - 1;
      names[d].insert(files.back().links[0].name);
    }
  const auto full = [&](const Link& l) { return path(dirs[l.dir] + "/" + l.name); };

  const uint32_t seed = run_seed();
  std::mt19937 random(seed);
  int counter = 0, stale_listings = 0, stale_lookups = 0;
  std::vector<std::string> reports;
  const auto new_name = [&] {
    const int n = ++counter;
    switch (random() % 3) {
      case 0: return "new file " + std::to_string(n) + " with a long name.dat";
      case 1: return "f" + std::to_string(n) + ".txt";  // its own 8.3 name once given as the DOS name
      default: return "Mixed Case " + std::to_string(n) + ".Txt";
    }
  };
  const auto pick = [&](int dir) {
    auto it = names[dir].begin();
    std::advance(it, random() % names[dir].size());
    return Link{dir, *it};
  };
  // Moves link `from` to `to` in the model (`to` empty: removes it).
  const auto relink = [&](const Link& from, std::optional<Link> to) {
    File& f = files[file_of.at(from)];
    if (f.dos_link == from) f.dos_link.reset(), f.dos.clear();  // NTFS drops it with the name
    std::erase(f.links, from);
    names[from.dir].erase(from.name);
    if (to) f.links.push_back(*to), file_of[*to] = file_of.at(from), names[to->dir].insert(to->name);
    file_of.erase(from);
  };

  // A change notification on the drive, re-armed before each change, sees every one.
  const HANDLE change = FindFirstChangeNotificationW(u"C:\\", TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  int unseen_changes = 0;
  for (bool records : {true, false}) {
    win32::set_ntfs_records_enabled(records);
    for (int round = 0; round < rounds; ++round) {
      // One change; the names it touched (gone ones included).
      const int dir = int(random() % 2), other = 1 - dir;
      std::vector<Link> touched;
      std::string what;
      bool changed = true;
      ASSERT_TRUE(FindNextChangeNotification(change));
      int op = int(random() % 8);
      if (op == 1 && names[dir].size() <= 3) op = 0;
      if (op == 0 && dir == 0 && names[dir].size() >= 7) op = 1;
      Link l = pick(dir);
      if (op == 4) {  // half the DOS names go to names that are their own 8.3 name
        std::vector<Link> own;
        for (const auto& name : names[dir]) {
          const Link c{dir, name};
          const File& cf = files[file_of.at(c)];
          if (name[0] == 'f' && cf.links.size() == 1 && !cf.dos_link) own.push_back(c);
        }
        if (!own.empty() && random() % 2) l = own[random() % own.size()];
      }
      File& f = files[file_of.at(l)];
      switch (op) {
        case 0: {
          const Link made{dir, new_name()};
          ASSERT_TRUE(write_text(full(made), std::string(random() % 3000, 'n')));
          files.push_back(File{{made}, {}, {}});
          file_of[made] = files.size() - 1;
          names[dir].insert(made.name);
          touched = {made};
          what = "create";
          break;
        }
        case 1:
          ASSERT_EQ(unlink(full(l).c_str()), 0);
          touched = f.links;
          relink(l, std::nullopt);
          what = "delete";
          break;
        case 2:
        case 3: {
          const Link to{op == 2 ? dir : other, new_name()};
          ASSERT_EQ(rename(full(l).c_str(), full(to).c_str()), 0);
          touched = f.links;
          touched.push_back(to);
          relink(l, to);
          what = op == 2 ? "rename" : "move";
          break;
        }
        case 4:
          if (f.links.size() == 1 && !f.dos_link) {
            std::string dos = l.name[0] == 'f' ? l.name : "D" + std::to_string(10000 + counter++) + "~1.DAT";
            for (char& c : dos) c = char(std::toupper(c));
            ASSERT_TRUE(NtfsVolume::set_short_name(full(l), dos)) << full(l) << " " << dos;
            f.dos_link = l, f.dos = dos;
          } else {
            changed = false;
          }
          touched = f.links;
          what = "DOS name";
          break;
        case 5: {
          static constexpr uint32_t kAttributes[] = {0x20, 0x21, 0x22, 0x23, 0x01, 0x02, 0x80, 0x2020};
          ASSERT_TRUE(set_ntfs_attrib(full(l), kAttributes[random() % std::size(kAttributes)]));
          touched = f.links;
          what = "attributes";
          break;
        }
        case 6:
          ASSERT_TRUE(append(full(l), 1 + random() % 5000));
          touched = f.links;
          what = "append";
          break;
        default:
          if (f.links.size() < 3) {
            const Link to{int(random() % 2), new_name()};
            ASSERT_EQ(link(full(l).c_str(), full(to).c_str()), 0);
            f.links.push_back(to);
            file_of[to] = file_of.at(l);
            names[to.dir].insert(to.name);
          } else {
            changed = false;
          }
          touched = f.links;
          what = "hard link";
      }
      what = std::string(records ? "records" : "ntfs-3g") + " round " + std::to_string(round) + " (" + what + " " +
             dirs[l.dir] + "/" + l.name + ")";
      if (changed && WaitForSingleObject(change, 0) != WAIT_OBJECT_0) {
        ++unseen_changes;
        reports.push_back(what + ": the change notification stayed quiet");
      }

      // What ntfs-3g says now of each touched directory, and what the layer shows.
      std::map<int, View> expected;
      for (const Link& t : touched) {
        if (expected.contains(t.dir)) continue;
        // ntfs-3g counts a DOS name as a link: how many links a file has, the model knows.
        const auto view = ntfs3g_listing(path(dirs[t.dir]), [&](const std::string& name) {
          const File& file = files[file_of.at(Link{t.dir, name})];
          if (file.links.size() == 1) return NtfsVolume::short_name(path(dirs[t.dir] + "/" + name));
          return records && file.dos_link == Link{t.dir, name} ? file.dos : std::string();
        });
        ASSERT_TRUE(view) << dirs[t.dir];
        expected[t.dir] = *view;
        const auto listed = layer_listing(on_c(dirs[t.dir]));
        const auto wrong = differences(listed.value_or(View{}), *view);
        if (!wrong.empty()) {
          ++stale_listings;
          reports.push_back(what + ": listing of " + dirs[t.dir] + ": " + wrong[0]);
        }
      }
      for (const Link& t : touched) {
        const View& view = expected[t.dir];
        const auto it = view.find(base::from_utf8(t.name));
        std::vector<std::string> wrong;
        const auto found = layer_lookup(on_c(dirs[t.dir] + "/" + t.name));
        if (found.has_value() != (it != view.end()) || (found && found->second != it->second))
          wrong.push_back("FindFirstFileW: layer " + describe(found ? std::optional(found->second) : std::nullopt) +
                          ", ntfs-3g " + describe(it != view.end() ? std::optional(it->second) : std::nullopt));
        const DWORD attributes = it == view.end() ? INVALID_FILE_ATTRIBUTES : it->second.attributes;
        if (GetFileAttributesW(on_c(dirs[t.dir] + "/" + t.name).c_str()) != attributes)
          wrong.push_back("GetFileAttributesW by long name");
        if (it != view.end() && !it->second.short_name.empty() &&
            GetFileAttributesW(on_c(dirs[t.dir] + "/" + base::to_utf8(it->second.short_name)).c_str()) != attributes)
          wrong.push_back("GetFileAttributesW by short name " + base::to_utf8(it->second.short_name));
        if (!wrong.empty()) {
          ++stale_lookups;
          reports.push_back(what + ": " + dirs[t.dir] + "/" + t.name + ": " + wrong[0]);
        }
      }
    }
  }
  std::string first;
  for (size_t i = 0; i < reports.size() && i < 8; ++i) first += "\n  " + reports[i];
  EXPECT_EQ(stale_listings + stale_lookups + unseen_changes, 0)
      << stale_listings << " listings and " << stale_lookups << " lookups stale, " << unseen_changes
      << " changes unseen, HIVEMEND_NTFS_VIEW_SEED=" << seed << first;
  FindCloseChangeNotification(change);
}

// A change notification on an ntfs-3g drive stays quiet until a change anywhere on the
// volume or a new definition of the drive, and signalled until re-armed. A plain folder
// cannot be watched whole: its notification is always signalled. Bad requests fail as
// on Windows.
TEST_F(NtfsView, ChangeNotificationOnEachKindOfDrive) {
  std::filesystem::create_directories(path("Watched"));
  const HANDLE h = FindFirstChangeNotificationW(u"C:\\Watched", FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const auto signalled = [&] { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; };
  EXPECT_FALSE(signalled()) << "made";
  ASSERT_TRUE(write_text(path("Elsewhere.txt"), "x"));
  EXPECT_TRUE(signalled()) << "a file made in another directory";
  EXPECT_TRUE(signalled()) << "until re-armed";
  ASSERT_TRUE(FindNextChangeNotification(h));
  EXPECT_FALSE(signalled()) << "re-armed";

  const std::string plain = prefix_.folder("plain");
  ASSERT_TRUE(write_text(plain + "/file.txt", "x"));
  ASSERT_TRUE(prefix_.define_drive('c', plain));
  EXPECT_TRUE(signalled()) << "the drive defined anew";
  ASSERT_TRUE(FindNextChangeNotification(h));
  EXPECT_TRUE(signalled()) << "a plain folder";
  EXPECT_TRUE(FindCloseChangeNotification(h));
  EXPECT_FALSE(FindCloseChangeNotification(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  const struct {
    const char16_t* path;
    DWORD filter;
    DWORD error;
  } failures[] = {
      {u"C:\\", 0, ERROR_INVALID_PARAMETER},
      {u"C:\\", 0x200, ERROR_INVALID_PARAMETER},
      {u"C:\\missing", FILE_NOTIFY_CHANGE_DIR_NAME, ERROR_FILE_NOT_FOUND},
      {u"C:\\missing\\below", FILE_NOTIFY_CHANGE_DIR_NAME, ERROR_PATH_NOT_FOUND},
      {u"C:\\file.txt", FILE_NOTIFY_CHANGE_DIR_NAME, ERROR_DIRECTORY},
  };
  for (const auto& f : failures) {
    EXPECT_EQ(FindFirstChangeNotificationW(f.path, TRUE, f.filter), INVALID_HANDLE_VALUE) << base::to_utf8(f.path);
    EXPECT_EQ(GetLastError(), f.error) << base::to_utf8(f.path);
  }
}

// After a listing, a listed entry of a directory with index blocks changes attributes;
// after the MFT grew past what was read at the first search, a new file grows and
// changes attributes: the next search shows each as it is now.
TEST_F(NtfsView, ChangesAfterAListingAreSeen) {
  fill("Index", 40);
  on_both_paths([&](bool records) {
    const std::string grown = records ? "Grown from records" : "Grown through ntfs-3g";
    const std::string listed = records ? "Index/entry 7.dat" : "Index/entry 8.dat";
    ASSERT_EQ(layer_listing(u"C:\\Index")->size(), 40u);
    const struct {
      const char* what;
      std::function<bool()> change;
      std::u16string path;
      DWORD attributes;
      uint64_t size;
    } steps[] = {
        {"a listed entry's attributes", [&] { return set_ntfs_attrib(path(listed), 0x23); }, on_c(listed), 0x23, 1},
        {"a file made after the MFT grew",
         [&] {
           fill(grown, 600);
           return write_text(path(grown + "/late.dat"), "late");
         },
         on_c(grown + "/late.dat"), FILE_ATTRIBUTE_ARCHIVE, 4},
        {"that file 5,000 bytes longer", [&] { return append(path(grown + "/late.dat"), 5000); },
         on_c(grown + "/late.dat"), FILE_ATTRIBUTE_ARCHIVE, 5004},
        {"that file's attributes", [&] { return set_ntfs_attrib(path(grown + "/late.dat"), 0x22); },
         on_c(grown + "/late.dat"), 0x22, 5004},
    };
    for (const auto& step : steps) {
      SCOPED_TRACE(step.what);
      ASSERT_TRUE(step.change());
      const Shown now{u"", step.attributes, step.size};
      const auto slash = step.path.rfind(u'\\');
      const auto listing = layer_listing(step.path.substr(0, slash));
      ASSERT_TRUE(listing);
      EXPECT_EQ(describe(listing->at(step.path.substr(slash + 1))), describe(now)) << "in the listing";
      const auto found = layer_lookup(step.path);
      ASSERT_TRUE(found);
      EXPECT_EQ(describe(found->second), describe(now)) << "searched alone";
      EXPECT_EQ(GetFileAttributesW(step.path.c_str()), step.attributes);
      layer_lookup(step.path);  // read once more, so the next step changes a known answer
    }
  });
}

// Copies of a small volume with 1 to 4 bytes changed in directory records and index
// blocks, as far as ntfs-3g still mounts them: the layer lists what ntfs-3g lists (an
// entry only when its record is in use, is the one the index names and has a name in
// that directory), and fails where ntfs-3g's listing fails.
TEST(NtfsViewDamaged, ListsWhatNtfs3gLists) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(volume, 8);
  std::filesystem::create_directories(volume->path("Index"));
  std::filesystem::create_directories(volume->path("Small"));
  for (int i = 0; i < 60; ++i) write_text(volume->path("Index/entry with a long name " + std::to_string(i)), "e");
  for (int i = 0; i < 4; ++i) write_text(volume->path("Small/s" + std::to_string(i) + ".txt"), "s");
  ASSERT_TRUE(NtfsVolume::set_short_name(volume->path("Index/entry with a long name 3"), "ENTRYW~1"));
  ASSERT_EQ(link(volume->path("Small/s1.txt").c_str(), volume->path("Index/s1 again.txt").c_str()), 0);
  sync();
  const Bytes image = read_bytes(volume->image());
  volume.reset();

  // Directory records (in-use flag and directory flag at offset 22) and index blocks.
  std::vector<std::pair<size_t, size_t>> structures;  // offset, size
  for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
    if (!std::memcmp(&image[at], "FILE", 4) && (image[at + 22] & 0x3) == 0x3) structures.push_back({at, 1024});
    if (!std::memcmp(&image[at], "INDX", 4)) structures.push_back({at, 4096});
  }
  ASSERT_GE(structures.size(), 5u);

  TestPrefix prefix;
  const uint32_t seed = run_seed();
  SCOPED_TRACE("HIVEMEND_NTFS_VIEW_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const int copies = big_runs() ? 300 : 30;
  int mounted = 0;
  for (int copy = 0; copy < copies; ++copy) {
    Bytes damaged = image;
    std::string where;
    for (int i = 0, n = 1 + int(random() % 4); i < n; ++i) {
      const auto& [at, size] = structures[random() % structures.size()];
      const size_t offset = at + random() % size;
      damaged[offset] = uint8_t(random());
      where += " " + std::to_string(offset);
    }
    std::string why_not;
    const auto copy_volume = NtfsVolume::of_image(damaged, &why_not);
    if (!copy_volume) continue;
    ++mounted;
    ASSERT_TRUE(prefix.define_drive('d', copy_volume->root()));
    // ntfs-3g may answer a damaged directory differently when asked again (an error
    // first, a listing later): the layer's answer must be one it gave, just before or
    // just after. nullopt stands for an error.
    auto names_of = [](const std::optional<View>& view) -> std::optional<std::set<std::string>> {
      if (!view) return std::nullopt;
      std::set<std::string> names;
      for (const auto& [name, _] : *view) names.insert(base::to_utf8(name));
      return names;
    };
    auto show = [](const std::optional<std::set<std::string>>& names) {
      if (!names) return std::string("(error)");
      std::string text;
      for (const auto& n : *names) text += " " + n;
      return text.empty() ? std::string("(empty)") : text;
    };
    for (const char* dir : {"", "Index", "Small"}) {
      const auto none = [](const std::string&) { return std::string(); };
      const auto before = names_of(ntfs3g_listing(copy_volume->path(dir), none));
      const auto ours = names_of(layer_listing(u"D:\\" + base::from_utf8(dir)));
      const auto after = names_of(ntfs3g_listing(copy_volume->path(dir), none));
      EXPECT_TRUE(ours == before || ours == after)
          << "D:\\" << dir << ", bytes changed at" << where << ": layer" << show(ours) << "; ntfs-3g" << show(before)
          << ", then" << show(after);
    }
  }
  EXPECT_GT(mounted, copies / 4);
}

}  // namespace
