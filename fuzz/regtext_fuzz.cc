// Fuzz target: .reg text imported, exported and imported again, and built into a hive.
//
// The input is a .reg file whose last byte also picks the export form (REGEDIT5 in UTF-8,
// UTF-8 with a byte-order mark or UTF-16LE, or REGEDIT4); the text read is the rest, so
// a plain .reg file is a seed as it stands. The roots are the distinct first
// components of the document's key paths, so every entry lies below one of them.
//
// Promises checked: a document that reads gives trees that export without loss (the
// exported text reads back as the same trees); REGEDIT4 export may refuse only with a
// message; a tree that build_hive takes opens as a sound hive holding the same tree, and
// that hive exported straight from its cells gives the text of its tree.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "regf/build.h"
#include "regf/hive.h"
#include "regf/regtext.h"
#include "regf/walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t form = data[size - 1];
  auto doc = regf::parse_reg(std::span<const uint8_t>(data, size - 1), "fuzz.reg");
  if (!doc) {
    FUZZ_CHECK(!doc.error().message.empty(), "an error without a message");
    return 0;
  }

  std::vector<std::u16string> roots;
  for (const regf::RegEntry& entry : doc->entries) {
    if (entry.path.empty()) continue;
    std::u16string root = regf::join_key_path(std::span<const std::u16string>(entry.path.data(), 1));
    bool known = false;
    for (const auto& r : roots) known = known || base::equal_nocase(r, root);
    if (!known) roots.push_back(std::move(root));
  }
  auto trees = regf::reg_subtrees(*doc, roots, "fuzz.reg");
  if (!trees) {
    FUZZ_CHECK(!trees.error().message.empty(), "an error without a message");
    return 0;
  }
  FUZZ_CHECK(trees->size() == roots.size(), "one tree per root expected");

  std::vector<regf::RegRoot> out_roots;
  for (size_t i = 0; i < roots.size(); ++i) out_roots.push_back({roots[i], &(*trees)[i]});
  regf::RegWriteOptions options;
  switch (form % 4) {
    case 0: break;
    case 1: options.encoding = regf::RegEncoding::kUtf8Bom; break;
    case 2: options.encoding = regf::RegEncoding::kUtf16Le; break;
    default: options.format = regf::RegFormat::kRegedit4; break;
  }
  auto text = regf::write_reg(out_roots, options);
  if (!text) {
    FUZZ_CHECK(options.format == regf::RegFormat::kRegedit4, text.error().to_string());
  } else {
    auto reread = regf::parse_reg(*text, "export.reg");
    FUZZ_CHECK(reread.ok(), reread.ok() ? "" : reread.error().to_string());
    auto again = regf::reg_subtrees(*reread, roots, "export.reg");
    FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().to_string());
    FUZZ_CHECK(again->size() == trees->size(), "a different number of trees read back");
    for (size_t i = 0; i < trees->size(); ++i) {
      std::string difference = hivemend_fuzz::tree_difference((*trees)[i], (*again)[i]);
      FUZZ_CHECK(difference.empty(), difference);
    }
  }

  for (const regf::TreeKey& tree : *trees) {
    auto image = regf::build_hive(tree);
    if (!image) {
      FUZZ_CHECK(!image.error().message.empty(), "an error without a message");
      continue;
    }
    auto hive = regf::Hive::from_image(std::move(*image), "built.hive");
    FUZZ_CHECK(hive.ok(), hive.ok() ? "" : hive.error().to_string());
    FUZZ_CHECK(!hive->dirty() && hive->damage().empty(), "a built hive is not sound");
    auto read = regf::read_tree(*hive);
    FUZZ_CHECK(read.ok(), "a built hive failed to read");
    std::string difference = hivemend_fuzz::tree_difference(tree, *read);
    FUZZ_CHECK(difference.empty(), difference);

    // The hive written straight from its cells reads as the text of its tree.
    const regf::RegRoot root[] = {{u"R", &*read}};
    auto from_tree = regf::write_reg(root, options);
    std::vector<uint8_t> streamed;
    auto from_cells = regf::write_reg_hive(
        *hive, u"R",
        [&](std::span<const uint8_t> piece) {
          streamed.insert(streamed.end(), piece.begin(), piece.end());
          return true;
        },
        options);
    FUZZ_CHECK(from_tree.ok() == from_cells.ok(), "the tree and the cells export differently");
    FUZZ_CHECK(!from_tree.ok() || *from_tree == streamed, "the tree and the cells give different text");
  }
  return 0;
}
