#include "engine/storage/TTorrent.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "engine/storage/ITorrentTask.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

class FakeTorrentTask : public ITorrentTask {
 public:
  void SetWorkState(int32_t state) override { states.push_back(state); }
  void StopWithError(int32_t code) override { error = code; }
  std::vector<int32_t> states;
  int32_t error = 0;
};

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, pipe)) out += buf;
    if (pclose(pipe) != 0) out.clear();
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

using test::WriteFile;

class TTorrentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map.SetSaveDirectory(dir.path + "save");
    map.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 50; });
  }
  // A whole torrent around an info dictionary.
  static std::string Torrent(const std::string& head, const std::string& info) {
    return "d" + head + "4:info" + info + "e";
  }
  bool LoadBytes(const std::string& bytes) {
    torrent.TorrentBytes = bytes;
    return torrent.Load();
  }

  test::TempDir dir;
  test::FakeTask task;
  FakeTorrentTask torrentTask;
  TPieces map{task};
  TTorrent torrent{map, &torrentTask};
  const std::string hashes = std::string(20, 'h');
  const std::string info = test::SingleInfo("one.bin", 100, 16384, hashes);
};

// Torrents made by mktorrent load with the info hash libtorrent reports, and the data they
// were made from is found complete.
TEST_F(TTorrentTest, TorrentsFromARealToolHashAsAnotherToolSays) {
  if (Shell("command -v mktorrent").empty()) GTEST_SKIP() << "mktorrent is not installed";
  const std::string source = dir.path + "data/";
  WriteFile(source + "pack/a.bin", test::Content(100000, 3));
  WriteFile(source + "pack/sub/b.bin", test::Content(70000, 4));
  WriteFile(source + "pack/c.bin", test::Content(1, 5));
  WriteFile(source + "single.bin", test::Content(300000, 6));
  struct Case {
    const char* what;
    std::string input;
    size_t files;
    int64_t total;
  } cases[] = {
      {"multi-file", source + "pack", 3, 170001},
      {"single-file", source + "single.bin", 1, 300000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir.path + c.what + ".torrent";
    ASSERT_FALSE(Shell("mktorrent -a 'http://127.0.0.1:6969/announce' -l 15 -c 'made by a test' -o '" +
                     file + "' '" + c.input + "' >/dev/null && echo ok").empty());
    const std::string expected = Shell(
        "/usr/bin/python3 -c 'import sys, libtorrent as lt; "
        "print(lt.torrent_info(sys.argv[1]).info_hashes().v1)' '" + file + "'");
    ASSERT_EQ(expected.size(), 40u);

    TPieces found(task);
    found.SetSaveDirectory(source);
    found.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 50; });
    TTorrent loaded(found, &torrentTask);
    loaded.SourceText = "FILE://" + file;
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.InfoHashHex, expected);
    EXPECT_EQ(loaded.Announce, "http://127.0.0.1:6969/announce");
    EXPECT_EQ(loaded.Comment, "made by a test");
    EXPECT_GT(loaded.CreationDate, 1600000000);
    EXPECT_EQ(found.Files().size(), c.files);
    EXPECT_EQ(found.TotalLength(), c.total);
    EXPECT_TRUE(found.IsComplete());
    EXPECT_EQ(0, std::memcmp(found.InfoHash(), loaded.InfoHash, 20));
  }
}

TEST_F(TTorrentTest, InfoHashCoversTheBytesAsReceived) {
  // Keys out of order, a padded integer and an upper-case container mark: a re-encoding would
  // change all of them.
  const std::string odd = "D6:pieces20:" + hashes + "12:piece lengthi016384e6:lengthi+100e4:name7:one.bine";
  ASSERT_TRUE(LoadBytes(Torrent("8:announce3:u:x", odd)));
  uint8_t expected[20];
  Sha1::Hash(odd.data(), odd.size(), expected);
  EXPECT_EQ(0, std::memcmp(torrent.InfoHash, expected, 20));
  std::string reencoded;
  ASSERT_TRUE(test::Parse(odd)->Serialise(reencoded));
  ASSERT_NE(reencoded, odd);

  char hex[41];
  for (int i = 0; i < 20; ++i) std::snprintf(hex + 2 * i, 3, "%02x", expected[i]);
  EXPECT_EQ(torrent.InfoHashHex, hex);
  std::string escaped;
  for (int i = 0; i < 20; ++i) {
    if (std::isalnum(expected[i])) {
      escaped += static_cast<char>(expected[i]);
    } else {
      escaped += '%';
      escaped.append(hex + 2 * i, 2);
    }
  }
  EXPECT_EQ(torrent.InfoHashEscaped, escaped);
  EXPECT_EQ(torrentTask.states, (std::vector<int32_t>{3, 4}));
}

TEST_F(TTorrentTest, AnnounceIsCleanedAndTrackersKeepTheirOrder) {
  struct Case {
    const char* raw;
    const char* announce;
  } cases[] = {
      {"  \t http://t.example/a||", "http://t.example/a"},
      {"xxUDP://t.example:80|", "UDP://t.example:80"},
      {"http://t.example/a \r\n", "http://t.example/a"},
      {"x:y", ""},
      {"|||", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    ASSERT_TRUE(LoadBytes(Torrent("8:announce" + test::Str(c.raw), info)));
    EXPECT_EQ(torrent.Announce, c.announce);
    EXPECT_EQ(torrent.Trackers, std::vector<std::string>{c.announce});
  }
  ASSERT_TRUE(LoadBytes(Torrent(
      "8:announce14:http://a/ann||13:announce-listll14:http://a/ann||el7:Tracker8:udp://b|"
      "e4:Name12:http://nevere",
      info)));
  EXPECT_EQ(torrent.Trackers, (std::vector<std::string>{"http://a/ann", "http://a/ann", "udp://b"}));

  // No announce at all still leaves one empty first entry.
  ASSERT_TRUE(LoadBytes(Torrent("", info)));
  EXPECT_EQ(torrent.Trackers, std::vector<std::string>{""});
}

TEST_F(TTorrentTest, CodePageComesFromTheTorrentAndStaysAcrossReloads) {
  ASSERT_TRUE(LoadBytes(Torrent("8:encoding5:UTF-8", info)));
  EXPECT_EQ(torrent.CodePage, 0);
  ASSERT_TRUE(LoadBytes(Torrent("8:encoding3:gbk", info)));
  EXPECT_EQ(torrent.CodePage, 936);
  ASSERT_TRUE(LoadBytes(Torrent("8:encoding4:BIG5", info)));
  EXPECT_EQ(torrent.CodePage, 936);
  torrent.CodePage = 0;
  ASSERT_TRUE(LoadBytes(Torrent("8:codepagei949e8:encoding3:GBK", info)));
  EXPECT_EQ(torrent.CodePage, 949);
}

TEST_F(TTorrentTest, DescriptiveFieldsAndPublisherFromTheInfoDictionary) {
  const std::string withPublisher = "d6:lengthi100e4:name7:one.bin12:piece lengthi16384e6:pieces20:" +
                                    hashes + "9:publisher2:me13:publisher-url8:http://pe";
  ASSERT_TRUE(LoadBytes(Torrent("7:comment2:hi13:creation datei1234e9:publisher4:them", withPublisher)));
  EXPECT_EQ(torrent.Comment, "hi");
  EXPECT_EQ(torrent.CreationDate, 1234);
  EXPECT_EQ(torrent.Publisher, "them");
  EXPECT_EQ(torrent.PublisherUrl, "http://p");
}

TEST_F(TTorrentTest, BadInputFailsAndLeavesNothingBehind) {
  ASSERT_TRUE(LoadBytes(Torrent("8:announce8:http://a", info)));
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"not a dictionary", "l4:spame"},
      {"does not parse", "d8:announce"},
      {"no info", "d8:announce8:http://ae"},
      {"info is a list", "d4:infol4:spamee"},
      {"bad info", Torrent("", "d4:name1:xe")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(LoadBytes(c.bytes));
    EXPECT_TRUE(torrent.Trackers.empty());
    EXPECT_TRUE(torrent.InfoHashHex.empty());
  }
  torrent.TorrentBytes.clear();
  torrent.SourceText.clear();
  EXPECT_FALSE(torrent.Load());
}

TEST_F(TTorrentTest, FileAddressesOnlyLocalAndReadable) {
  WriteFile(dir.path + "t.torrent", Torrent("", info));
  EXPECT_FALSE(torrent.LoadFromFile("http://kademlia/" + dir.path + "t.torrent"));
  EXPECT_FALSE(torrent.LoadFromFile("ftp://" + dir.path + "t.torrent"));
  EXPECT_EQ(torrentTask.error, 0);
  EXPECT_TRUE(torrent.LoadFromFile("file://" + dir.path + "t.torrent"));
  WriteFile(dir.path + "empty.torrent", "");
  for (const char* name : {"empty.torrent", "missing.torrent"}) {
    torrentTask.error = 0;
    EXPECT_FALSE(torrent.LoadFromFile(std::string("file://") + dir.path + name));
    EXPECT_EQ(torrentTask.error, ITorrentTask::kErrorTorrentUnreadable);
  }
}

TEST_F(TTorrentTest, TemplateTakesSixtyFourBitSizesAndWinsOverBytes) {
  torrent.TorrentBytes = Torrent("", info);
  map.SetTargetPath(dir.path + "big.bin");
  torrent.SourceText = "$Hash$00112233445566778899AABBCCDDEEFF00112233$Size$5000000000$Length$262144"
                       "$Tracker$http$$$t.example/announce$End$";
  ASSERT_TRUE(torrent.Load());
  EXPECT_EQ(torrent.InfoHashHex, "00112233445566778899aabbccddeeff00112233");
  EXPECT_EQ(torrent.Trackers, std::vector<std::string>{"http://t.example/announce"});
  EXPECT_EQ(map.TotalLength(), 5000000000);
  EXPECT_EQ(map.PieceCount(), (5000000000 + 262143) / 262144);
  EXPECT_FALSE(map.HasHashes());
  EXPECT_EQ(map.CacheLimit(), 128 * TPieces::kCacheUnit);
  EXPECT_EQ(map.Files()[0].Length, 5000000000);

  for (const char* bad : {"$Hash$0011$Size$100$Length$16384$Tracker$x$End$",
                          "$Hash$00112233445566778899AABBCCDDEEFF00112233$Size$100$Length$1000$Tracker$x$End$",
                          "$Hash$00112233445566778899AABBCCDDEEFF00112233$Size$0$Length$16384$Tracker$x$End$",
                          // millions of pieces: a piece table too large to build
                          "$Hash$00112233445566778899AABBCCDDEEFF00112233$Size$100000000000$Length$16384$Tracker$x$End$"}) {
    torrent.SourceText = bad;
    EXPECT_FALSE(torrent.Load()) << bad;
    EXPECT_TRUE(torrent.InfoHashHex.empty());
  }
}

TEST_F(TTorrentTest, PreviousMapIsForgottenOnlyWhenALoadSucceeds) {
  TPieces previous(task);
  torrent.SetPreviousPieces(&previous);
  EXPECT_FALSE(LoadBytes(Torrent("", "d4:name1:xe")));
  EXPECT_EQ(torrent.PreviousPieces, &previous);
  EXPECT_TRUE(LoadBytes(Torrent("", info)));
  EXPECT_EQ(torrent.PreviousPieces, nullptr);
}

}  // namespace
}  // namespace bw
