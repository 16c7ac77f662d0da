#include "engine/storage/QMultiElement.h"

#include <gtest/gtest.h>

#include <string>

namespace bw {
namespace {

std::unique_ptr<QElement> Parse(std::string_view text) {
  std::unique_ptr<QElement> element =
      ParseElement(text.data(), static_cast<int64_t>(text.size()));
  EXPECT_TRUE(element) << text;
  return element;
}

std::string Serialised(const QElement& element) {
  std::string out;
  EXPECT_TRUE(element.Serialise(out));
  return out;
}

TEST(QMultiElement, FindValueFollowsTheKeyValuePairing) {
  // "a" has the value "name", which must not be taken for the key "name".
  const std::unique_ptr<QElement> dict =
      Parse("d8:announce3:url1:a4:name4:sizei5e4:name5:a.txt3:key5:counti0e4:listl1:xee");
  struct Case {
    const char* key;
    int64_t keyLength;
    const char* bytes;  // none: nothing found
    int64_t value;
  };
  const Case cases[] = {
      {"announce", -1, "url", 0},
      {"size", 0, "size", 5},  // the key carrying its integer is its own value
      {"name", -1, "a.txt", 0},
      {"announceXYZ", 8, "url", 0},
      {"key", -1, nullptr, 0},  // followed by a key with an integer: no value
      {"count", -1, nullptr, 0},  // it sits where the value of "key" belongs
      {"missing", -1, nullptr, 0},
      {"url", -1, nullptr, 0},  // values are never keys
  };
  for (const Case& c : cases) {
    const QElement* found = dict->FindValue(c.key, c.keyLength);
    if (!c.bytes) {
      EXPECT_FALSE(found) << c.key;
      continue;
    }
    ASSERT_TRUE(found) << c.key;
    EXPECT_EQ(found->ByteView(), c.bytes);
    EXPECT_EQ(found->Value(), c.value) << c.key;
  }
  const QElement* list = dict->FindValue("list");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->GetType(), QElement::kListType);
  EXPECT_FALSE(dict->FindValue("d"));  // a container is never a key
}

TEST(QMultiElement, FindElementIgnoresPairing) {
  const std::unique_ptr<QElement> dict = Parse("d1:a4:name4:name5:a.txte");
  const QElement* first = dict->FindElement("name");
  ASSERT_EQ(first, dict->ChildAt(1));
  EXPECT_EQ(dict->NextSibling(first), dict->ChildAt(2));
  EXPECT_EQ(dict->PreviousSibling(first), dict->ChildAt(0));
  EXPECT_FALSE(dict->PreviousSibling(dict->ChildAt(0)));
  EXPECT_FALSE(dict->NextSibling(dict->ChildAt(3)));
  EXPECT_FALSE(dict->FindElement("nam"));
  EXPECT_EQ(dict->FindElement("nameless", 4), first);

  const std::unique_ptr<QElement> other = Parse("l4:namee");
  EXPECT_FALSE(dict->NextSibling(other->ChildAt(0)));  // not a child of this container
  EXPECT_FALSE(dict->NextSibling(nullptr));
}

TEST(QMultiElement, LookupsOnInvalidOrStringElementsFindNothing) {
  QDictionaryElement unparsed;
  EXPECT_FALSE(unparsed.FindValue("a"));
  EXPECT_FALSE(unparsed.FindElement("a"));
  const std::unique_ptr<QElement> text = Parse("1:a");
  EXPECT_FALSE(text->FindValue("a"));
  EXPECT_FALSE(text->ChildAt(0));
  EXPECT_FALSE(text->AppendString("b", 1));
  EXPECT_EQ(text->Count(), 0);
}

TEST(QMultiElement, BuildsAndEditsInOrder) {
  std::unique_ptr<QElement> dict = NewDictionary();
  ASSERT_TRUE(dict->AppendString("name", -1));
  ASSERT_TRUE(dict->AppendString("game", -1));
  ASSERT_TRUE(dict->InsertString(0, "zsize", -1, 9));  // nothing is sorted
  EXPECT_FALSE(dict->InsertString(4, "late", -1));
  EXPECT_FALSE(dict->InsertString(-1, "early", -1));
  EXPECT_EQ(Serialised(*dict), "d5:zsizei9e4:name4:gamee");
  EXPECT_EQ(dict->EncodedLength(), 24);

  std::unique_ptr<QElement> files = NewList();
  files->AppendString("a", -1);
  QElement* list = dict->Append(std::move(files));
  ASSERT_TRUE(list);
  EXPECT_FALSE(files);
  EXPECT_EQ(list->Parent(), dict.get());
  EXPECT_EQ(dict->EncodedLength(), 24 + 5);

  EXPECT_TRUE(dict->RemoveAt(0));
  EXPECT_FALSE(dict->RemoveAt(7));
  EXPECT_EQ(Serialised(*dict), "d4:name4:gamel1:aee");
  EXPECT_EQ(dict->EncodedLength(), 19);

  std::unique_ptr<QElement> detached = dict->Detach(list);
  ASSERT_EQ(detached.get(), list);
  EXPECT_FALSE(detached->Parent());
  EXPECT_FALSE(dict->Detach(list));
  EXPECT_EQ(Serialised(*dict), "d4:name4:gamee");

  // A detached element moves into another container intact.
  std::unique_ptr<QElement> other = NewList();
  ASSERT_TRUE(other->Insert(0, std::move(detached)));
  EXPECT_EQ(Serialised(*other), "ll1:aee");

  EXPECT_TRUE(dict->Remove(dict->FindElement("game")));
  EXPECT_EQ(dict->Count(), 1);
  dict->Clear();
  EXPECT_EQ(Serialised(*dict), "de");
}

TEST(QMultiElement, RefusesElementsThatCannotBeWritten) {
  std::unique_ptr<QElement> root = NewList();
  std::unique_ptr<QElement> unparsed = std::make_unique<QListElement>();
  EXPECT_FALSE(root->Append(std::move(unparsed)));
  EXPECT_TRUE(unparsed);  // a refused element stays with the caller
  EXPECT_FALSE(root->Append(nullptr));

  // Adding an ancestor would make a cycle.
  QElement* child = root->Append(NewList());
  ASSERT_TRUE(child);
  QElement* grandchild = child->Append(NewList());
  ASSERT_TRUE(grandchild);
  EXPECT_FALSE(grandchild->Append(std::move(root)));
  ASSERT_TRUE(root);
  EXPECT_EQ(Serialised(*root), "llleee");
}

TEST(QMultiElement, DestroyingAChildDetachesIt) {
  std::unique_ptr<QElement> list = Parse("l1:a1:b1:ce");
  delete list->ChildAt(1);
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(Serialised(*list), "l1:a1:ce");
}

TEST(QMultiElement, GetStringJoinsChildTexts) {
  struct Case {
    const char* text;
    const char* joined;
  };
  const Case cases[] = {
      {"l3:abc0:3:defe", "abc,,def"},
      {"l0:3:abc3:defe", "abc,def"},  // no separator before the first non-empty text
      {"l1:ai5e1:be", "a,b"},
      {"le", ""},
  };
  for (const Case& c : cases) {
    std::string out = "old";
    Parse(c.text)->GetString(out, ",");
    EXPECT_EQ(out, c.joined) << c.text;
  }
}

TEST(QMultiElement, CodePageReachesEveryDescendant) {
  std::unique_ptr<QElement> dict = Parse("d4:infod5:filesll1:aeeee");
  dict->SetCodePage(936);
  const QElement* leaf = dict->FindValue("info")->FindValue("files")->ChildAt(0)->ChildAt(0);
  ASSERT_TRUE(leaf);
  EXPECT_EQ(leaf->CodePage(), 936);
}

TEST(QMultiElement, ResetDropsChildrenAndValidity) {
  std::unique_ptr<QElement> dict = Parse("d1:a1:be");
  dict->Reset();
  EXPECT_FALSE(dict->IsValid());
  EXPECT_EQ(dict->Count(), 0);
  EXPECT_EQ(dict->EncodedSize(), 0);
  EXPECT_EQ(dict->Parse("d1:ce", 5), 5);
  EXPECT_EQ(dict->Count(), 1);
}

}  // namespace
}  // namespace bw
