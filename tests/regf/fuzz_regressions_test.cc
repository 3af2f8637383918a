// Inputs that broke the hive engine under fuzzing (fuzz/), or that were made to replay a
// fault found while writing the fuzz targets, each run through the entry point it broke
// with the outcome it must have now. The inputs live in fuzz_regressions/ beside this
// file; every file there belongs to one of the tables below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "regf/diff.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/regtext.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"

namespace {

namespace fs = std::filesystem;

fs::path input_dir() { return fs::path(HIVEMEND_TEST_SOURCE_DIR) / "fuzz_regressions"; }

std::vector<uint8_t> input(const std::string& name) {
  auto bytes = hivemend::testing::read_bytes((input_dir() / name).string());
  EXPECT_FALSE(bytes.empty()) << "missing regression input " << name;
  return bytes;
}

// ---- Edits of a hive that reads without damage ------------------------------------------

// One edit of a value of the root, replayed on a hive that opens sound: the edit must be
// taken, and the written image must open again sound and hold the new data.
struct EditCase {
  const char* file;
  const char* value;
  uint32_t size;
};  // value set, bytes of new data

const EditCase kEditCases[] = {
    // A big data record listing more segments than its data needs: the extra list entry
    // (0) was never checked by the walk, and replacing the value freed "cell" 0, writing
    // a free-cell size over the first hive bin's header.
    {"big-data-extra-segment.hive", "Big", 10},
    {"big-data-extra-segment.hive", "Big", 40000},
    {"big-data-extra-segment.hive", "Small", 100},
};

TEST(FuzzRegressions, EditTakenAndImageReadsBack) {
  for (const EditCase& c : kEditCases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.value + " " + std::to_string(c.size));
    auto hive = regf::Hive::from_image(input(c.file), c.file);
    ASSERT_TRUE(hive.ok()) << hive.error().to_string();
    ASSERT_TRUE(hive->damage().empty()) << hive->damage().front().to_string();
    const std::vector<uint8_t> data = hivemend::testing::sample_bytes(c.size, 1);
    const std::u16string name = base::from_utf8(c.value);
    auto set = hive->set_value(hive->root(), name, regf::kRegBinary, data);
    ASSERT_TRUE(set.ok()) << set.error().to_string();

    auto reopened = regf::Hive::from_image(hive->image(), "written");
    ASSERT_TRUE(reopened.ok()) << reopened.error().to_string();
    EXPECT_FALSE(reopened->dirty());
    const auto& damage = reopened->damage();
    EXPECT_TRUE(damage.empty()) << damage.front().to_string();
    auto value = reopened->find_value(reopened->root(), name);
    ASSERT_TRUE(value.ok() && *value);
    auto read = reopened->value_data(**value);
    ASSERT_TRUE(read.ok()) << read.error().to_string();
    EXPECT_EQ(*read, data);
  }
}

// ---- Hives whose damage must refuse edits ---------------------------------------------

// A hive that opens but must report damage (a substring of one reason given) and
// refuse every edit without changing a byte.
struct DamageCase {
  const char* file;
  const char* reason;
};

const DamageCase kDamageCases[] = {
    // The root key's security offset names the data cell of value "Bin", whose bytes
    // begin with "sk": adding a subkey raised the "reference count" inside the value's
    // data, silently changing it.
    {"security-cell-is-value-data.hive", "value data cell reached twice"},
};

TEST(FuzzRegressions, ReportedAndRefusedForWriting) {
  for (const DamageCase& c : kDamageCases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> bytes = input(c.file);
    auto hive = regf::Hive::from_image(bytes, c.file);
    ASSERT_TRUE(hive.ok()) << hive.error().to_string();
    std::string reasons;
    for (const auto& d : hive->damage()) reasons += d.to_string() + "\n";
    EXPECT_NE(reasons.find(c.reason), std::string::npos) << reasons;

    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto set = hive->set_value(hive->root(), u"New", regf::kRegBinary, data);
    ASSERT_FALSE(set.ok());
    EXPECT_NE(set.error().message.find("damaged"), std::string::npos) << set.error().to_string();
    EXPECT_FALSE(hive->add_subkey(hive->root(), u"New").ok());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), hive->raw_image().begin(), hive->raw_image().end()));
  }
}

// ---- .reg text that must export without loss ---------------------------------------------

// A .reg document (its last byte, as in the fuzz target, picks the export form): the trees
// below each first component of its key paths, written and read back, are the same trees.
struct RegTextCase {
  const char* file;
};

const RegTextCase kRegTextCases[] = {
    // "[--KEY_LOCAL_MACHINE\...]" deletes below a root named "-KEY_LOCAL_MACHINE", which was
    // written "[-KEY_LOCAL_MACHINE]" and read back as a deletion.
    {"regtext-dash-root.bin"},
};

TEST(FuzzRegressions, RegTextReadsBackAsWritten) {
  for (const RegTextCase& c : kRegTextCases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> bytes = input(c.file);
    ASSERT_FALSE(bytes.empty());
    auto doc = regf::parse_reg(std::span(bytes).first(bytes.size() - 1), c.file);
    ASSERT_TRUE(doc.ok()) << doc.error().to_string();
    std::vector<std::u16string> roots;
    for (const regf::RegEntry& e : doc->entries) {
      std::u16string root = regf::join_key_path(std::span(e.path).first(1));
      if (std::none_of(roots.begin(), roots.end(), [&](const auto& r) { return base::equal_nocase(r, root); }))
        roots.push_back(std::move(root));
    }
    auto trees = regf::reg_subtrees(*doc, roots, c.file);
    ASSERT_TRUE(trees.ok()) << trees.error().to_string();
    std::vector<regf::RegRoot> out;
    for (size_t i = 0; i < roots.size(); ++i) out.push_back({roots[i], &(*trees)[i]});
    regf::RegWriteOptions options;
    if (bytes.back() % 4 == 3) options.format = regf::RegFormat::kRegedit4;
    if (bytes.back() % 4 == 2) options.encoding = regf::RegEncoding::kUtf16Le;
    auto text = regf::write_reg(out, options);
    ASSERT_TRUE(text.ok()) << text.error().to_string();
    auto reread = regf::parse_reg(*text, "export.reg");
    ASSERT_TRUE(reread.ok()) << reread.error().to_string();
    auto again = regf::reg_subtrees(*reread, roots, "export.reg");
    ASSERT_TRUE(again.ok()) << again.error().to_string();
    for (size_t i = 0; i < roots.size(); ++i)
      EXPECT_TRUE(regf::diff_trees((*trees)[i], (*again)[i]).empty()) << base::to_utf8(roots[i]);
  }
}

// ---- Every input file is replayed ---------------------------------------------------------

TEST(FuzzRegressions, EveryInputFileIsInATable) {
  std::set<std::string> listed;
  for (const auto& c : kEditCases) listed.insert(c.file);
  for (const auto& c : kDamageCases) listed.insert(c.file);
  for (const auto& c : kRegTextCases) listed.insert(c.file);
  std::set<std::string> present;
  for (const auto& entry : fs::directory_iterator(input_dir())) present.insert(entry.path().filename().string());
  EXPECT_FALSE(present.empty());
  EXPECT_EQ(present, listed);
}

}  // namespace
