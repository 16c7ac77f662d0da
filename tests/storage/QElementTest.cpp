#include "engine/storage/QElement.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/QMultiElement.h"

namespace bw {
namespace {

// The text in a heap block of exactly its length, with no NUL after it, so that AddressSanitizer
// reports any read past the length.
class ExactText {
 public:
  explicit ExactText(std::string_view text) : data_(new char[text.size()]), size_(text.size()) {
    std::memcpy(data_.get(), text.data(), text.size());
  }
  const char* data() const { return data_.get(); }
  int64_t size() const { return static_cast<int64_t>(size_); }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_;
};

// What the element kind selected by the first byte makes of the text.
int64_t ParseResult(std::string_view text) {
  const ExactText exact(text);
  std::unique_ptr<QElement> element = NewElementFor(text.empty() ? '\0' : text[0]);
  return element ? element->Parse(exact.data(), exact.size()) : 0;
}

std::unique_ptr<QElement> ParseExact(std::string_view text) {
  const ExactText exact(text);
  return ParseElement(exact.data(), exact.size());
}

std::string Serialised(const QElement& element) {
  std::string out;
  EXPECT_TRUE(element.Serialise(out));
  return out;
}

const std::string kTorrent =
    "d8:announce30:http://127.0.0.1:6969/announce13:creation datei1700000000e"
    "8:encoding3:GBK4:infod5:filesld6:lengthi1024e4:pathl3:dir5:a.binee"
    "d6:lengthi5e4:pathl5:b.txteee4:name4:game12:piece lengthi16384e"
    "6:pieces20:ABCDEFGHIJKLMNOPQRSTee";

TEST(QElement, ParsesTheSystemsShapes) {
  struct Case {
    std::string_view text;
    int32_t type;
    int64_t consumed;
    int64_t children;
  };
  const Case cases[] = {
      {"d8:announce3:urle", QElement::kDictionaryType, 17, 2},
      {"d4:sizei5ee", QElement::kDictionaryType, 11, 1},  // key and integer are one element
      {"le", QElement::kListType, 2, 0},
      {"de", QElement::kDictionaryType, 2, 0},
      {"lee", QElement::kListType, 2, 0},  // trailing bytes are not consumed
      {"D4:spam4:eggsE", QElement::kDictionaryType, 14, 2},
      {"0:", QElement::kStringType, 2, 0},
      {"4:spami-3e", QElement::kStringType, 10, 0},
      {"dle1:ae", QElement::kDictionaryType, 7, 2},  // pairing is never checked
      {kTorrent, QElement::kDictionaryType, static_cast<int64_t>(kTorrent.size()), 7},
  };
  for (const Case& c : cases) {
    std::unique_ptr<QElement> element = ParseExact(c.text);
    ASSERT_TRUE(element) << c.text;
    EXPECT_TRUE(element->IsValid()) << c.text;
    EXPECT_EQ(element->GetType(), c.type) << c.text;
    EXPECT_EQ(element->EncodedLength(), c.consumed) << c.text;
    EXPECT_EQ(element->Count(), c.children) << c.text;
  }
}

TEST(QElement, RefusesMalformedText) {
  struct Case {
    std::string_view text;
    int64_t result;
  };
  const Case cases[] = {
      {"10:abc", -3},                        // length beyond the text
      {"5:ab", -3},
      {"2147483647:x", -3},                  // fits 32 bits, beyond the text
      {"2147483648:x", -1},                  // length beyond 32 bits
      {"4294967297:x", -1},                  // would wrap to 1 in 32 bits
      {"99999999999999999999999999:x", -1},  // would wrap in 64 bits too
      {"5", -1},                             // no colon
      {"5abc", -1},
      {"4:spamixe", -1},
      {"4:spamI3E", -1},  // the integer must end in a lowercase "e"
      {"3:abci12", -1},   // truncated integer
      {"3:abci", -1},
      {"3:abci9223372036854775808e", -1},  // beyond 64 bits
      {"3:abci-9223372036854775809e", -1},
      {"3:abci99999999999999999999999999e", -1},
      {"l", 0},
      {"d", 0},
      {"i5e", 0},  // a bare integer starts no element
      {"x", 0},
      {"li1ee", -1},  // integers only follow strings
      {"di1ee", -1},  // a key that is not a string
      {"l-3:abce", -1},
      {"d3:abc", -1},  // missing "e"
      {"d3:abci1e", -1},
      {"l3:abc", -1},
      {"l4:spa", -1},
      {"d1:a", -1},
      {"ll", -1},
      {"lle", -1},
      {std::string_view("l\0e", 3), -1},
      {std::string_view("l1:\0", 4), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseResult(c.text), c.result) << c.text;
    EXPECT_FALSE(ParseExact(c.text)) << c.text;
  }
  EXPECT_FALSE(ParseElement(nullptr, 5));
  EXPECT_FALSE(ParseElement("le", 0));
  EXPECT_FALSE(ParseElement("le", -2));
  EXPECT_FALSE(ParseElement("", 1));
  EXPECT_FALSE(ParseExact("-3:abc"));
}

TEST(QElement, ParseStaysWithinTheGivenLength) {
  // Every proper prefix of a document ends inside it, so none may parse, and none may read on.
  for (size_t n = 0; n < kTorrent.size(); ++n) {
    EXPECT_FALSE(ParseExact(kTorrent.substr(0, n))) << n;
  }
  // The length, not the NUL, bounds the parse.
  EXPECT_FALSE(ParseElement("d4:sizei5ee", 9));
  EXPECT_EQ(ParseElement("3:abci5e", 5)->Value(), 0);
}

TEST(QElement, NestingIsBounded) {
  auto nested = [](int depth) {
    return std::string(static_cast<size_t>(depth), 'l') + std::string(static_cast<size_t>(depth), 'e');
  };
  EXPECT_TRUE(ParseExact(nested(QMultiElement::kMaxDepth)));
  EXPECT_EQ(ParseResult(nested(QMultiElement::kMaxDepth + 1)), -1);
  EXPECT_FALSE(ParseExact(nested(100000)));

  std::string mixed;
  for (int i = 0; i <= QMultiElement::kMaxDepth; ++i) mixed += i % 2 ? "l" : "d1:a";
  EXPECT_FALSE(ParseExact(mixed + std::string(QMultiElement::kMaxDepth + 1, 'e')));
}

TEST(QElement, RoundTripsCanonicalText) {
  const std::string_view cases[] = {
      "d8:announce3:urle", "d4:sizei5ee", "le", "de", "0:", "3:Lowi0e", "3:abci-42e",
      "3:maxi9223372036854775807e", "3:mini-9223372036854775808e", "ll1:alleeee", kTorrent,
  };
  for (const std::string_view text : cases) {
    std::unique_ptr<QElement> element = ParseExact(text);
    ASSERT_TRUE(element) << text;
    EXPECT_EQ(Serialised(*element), text);
    EXPECT_EQ(element->EncodedSize(), static_cast<int64_t>(text.size())) << text;
  }
}

TEST(QElement, WritesTolerantTextInItsCanonicalForm) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"D4:spam4:eggsE", "d4:spam4:eggse"},
      {"03:abc", "3:abc"},  // leading zeros are read as decimal
      {"3 :abc", "3:abc"},  // blanks and punctuation before the colon are passed over
      {"3:abci 7e", "3:abci7e"},
      {"3:abci+7e", "3:abci7e"},
      {"3:abcie", "3:abci0e"},  // an empty integer is 0, still attached
      {"3:abcI5e", "3:abci5e"},
      {"3:abci007e", "3:abci7e"},
  };
  for (const auto& [text, canonical] : cases) {
    std::unique_ptr<QElement> element = ParseExact(text);
    ASSERT_TRUE(element) << text;
    EXPECT_EQ(Serialised(*element), canonical) << text;
  }
}

TEST(QElement, InvalidTreeIsNotWritten) {
  std::unique_ptr<QElement> list = ParseExact("l1:a1:be");
  ASSERT_TRUE(list);
  list->ChildAt(1)->Reset();
  EXPECT_EQ(list->EncodedSize(), 0);
  std::string out = "kept";
  EXPECT_FALSE(list->Serialise(out));
  EXPECT_EQ(out, "kept");

  list->Reset();
  EXPECT_FALSE(list->IsValid());
  EXPECT_EQ(list->Length(), -1);
  EXPECT_STREQ(list->Bytes(), "");
  EXPECT_EQ(list->Value(), 0);
  EXPECT_FALSE(list->Serialise(out));
}

TEST(QElement, SourceAndLengthLocateTheParsedBytes) {
  // The info dictionary's hash covers exactly the bytes it was parsed from.
  std::unique_ptr<QElement> torrent = ParseElement(kTorrent.data(), static_cast<int64_t>(kTorrent.size()));
  ASSERT_TRUE(torrent);
  const QElement* info = torrent->FindValue("info");
  ASSERT_TRUE(info);
  const std::string_view infoText(info->Source(), static_cast<size_t>(info->EncodedLength()));
  EXPECT_EQ(infoText.front(), 'd');
  EXPECT_EQ(infoText, kTorrent.substr(kTorrent.find("4:infod") + 6, infoText.size()));
  EXPECT_EQ(kTorrent.substr(kTorrent.find("4:infod") + 6 + infoText.size()), "e");
}

TEST(QElement, NewContainersAreValidAndEmpty) {
  EXPECT_EQ(Serialised(*NewDictionary()), "de");
  EXPECT_EQ(Serialised(*NewList()), "le");
  EXPECT_EQ(NewDictionary()->GetType(), QElement::kDictionaryType);
  EXPECT_EQ(NewList()->GetType(), QElement::kListType);
}

TEST(QElement, SerialiseAppendsToTheBuffer) {
  std::string out = "x";
  ASSERT_TRUE(ParseExact("1:a")->Serialise(out));
  EXPECT_EQ(out, "x1:a");
}

// A resume-record-shaped tree: zero integers are written as bare keys, so it is read back by
// position, never by key lookup alone.
TEST(QElement, RecordWrittenByTheFamilyReadsBackByPosition) {
  std::unique_ptr<QElement> record = NewDictionary();
  record->AppendString("infohash", -1);
  record->AppendString("01234567890123456789", 20);
  record->AppendString("/data/a.bin.bwtmp", -1);
  record->AppendString("Low", -1, 0);
  record->AppendString("High", -1, 0);
  record->AppendString("Size", -1, -1);
  record->AppendString("Priority", -1, 0);
  record->AppendString("/data/b.bin", -1);
  record->AppendString("Low", -1, 7);
  record->AppendString("High", -1, 8);
  record->AppendString("Size", -1, 6442450944LL);
  record->AppendString("Priority", -1, -3);
  QElement* status = record->AppendString("PieceStatus", -1);
  ASSERT_TRUE(status);
  std::unique_ptr<QElement> pieces = NewList();
  std::unique_ptr<QElement> piece = NewDictionary();
  piece->AppendString("Index", -1, 0);
  piece->AppendString("Part", -1, 131072);
  ASSERT_TRUE(pieces->Append(std::move(piece)));
  ASSERT_TRUE(record->Append(std::move(pieces)));

  const std::string text = Serialised(*record);
  EXPECT_EQ(record->EncodedSize(), static_cast<int64_t>(text.size()));
  EXPECT_NE(text.find("3:Low4:High4:Sizei-1e8:Priority11:/data/b.bin3:Lowi7e"), std::string::npos);

  std::unique_ptr<QElement> read = ParseExact(text);
  ASSERT_TRUE(read);
  QElement* file = read->FindElement("/data/b.bin");
  ASSERT_TRUE(file);
  QElement* low = read->NextSibling(file);
  QElement* high = read->NextSibling(low);
  QElement* size = read->NextSibling(high);
  QElement* priority = read->NextSibling(size);
  EXPECT_EQ(low->Value(), 7);
  EXPECT_EQ(high->Value(), 8);
  EXPECT_EQ(size->Value(), 6442450944LL);
  EXPECT_EQ(priority->Value(), -3);
  // The first file's bare "Priority" makes a key lookup take the next file's path as its value.
  EXPECT_EQ(read->FindValue("Priority")->ByteView(), "/data/b.bin");
  QElement* list = read->NextSibling(read->FindElement("PieceStatus"));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->GetType(), QElement::kListType);
  const QElement* entry = list->ChildAt(0);
  EXPECT_FALSE(entry->FindValue("Part"));  // taken for the value of the bare "Index"
  EXPECT_EQ(entry->FindElement("Part")->Value(), 131072);
  EXPECT_EQ(Serialised(*read), text);
}

}  // namespace
}  // namespace bw
