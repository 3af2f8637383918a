// The flat text index answers as a map from text to its first value does, across growth,
// for texts that differ only in case, length or a last code unit, and keeps its own copy.
#include "repair/TextIndex.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <unordered_map>

namespace {

TEST(TextIndex, AnswersAsAMapOfFirstValues) {
  std::deque<std::u16string> texts;
  for (int i = 0; i < 3000; ++i) {
    std::u16string n = u"C:\\PROGRA~1\\Vendor";
    n += char16_t(u'0' + i % 10);
    n += u'\\';
    n.append(size_t(i % 37), char16_t(u'a' + i % 26));
    texts.push_back(n);
    texts.push_back(n + u'x');
    texts.emplace_back(n).front() = u'c';  // differs in case only
    texts.push_back(n);                    // again: the first value stays
  }
  texts.push_back(u"");
  TextIndex<int> index;
  std::unordered_map<std::u16string, int> model;
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(index.add(texts[i], int(i)), model.emplace(texts[i], int(i)).second) << i;
    // Every 1,000 additions, every text is looked up, and one never added.
    if (i % 1000 != 999) continue;
    for (size_t j = 0; j < texts.size(); ++j) {
      const int* found = index.find(texts[j]);
      const auto it = model.find(texts[j]);
      ASSERT_EQ(found != nullptr, it != model.end()) << j;
      if (found) { EXPECT_EQ(*found, it->second) << j; }
    }
    EXPECT_EQ(index.find(texts[i] + u"?"), nullptr);
  }
  EXPECT_EQ(index.size(), model.size());
  std::u16string changed = u"D:\\NEW~1";
  EXPECT_TRUE(index.add(changed, -1));
  changed[0] = u'E';
  ASSERT_NE(index.find(u"D:\\NEW~1"), nullptr);
  EXPECT_EQ(*index.find(u"D:\\NEW~1"), -1);
  EXPECT_EQ(index.find(changed), nullptr);
  index.clear();
  EXPECT_EQ(index.find(texts[0]), nullptr);
}

}  // namespace
