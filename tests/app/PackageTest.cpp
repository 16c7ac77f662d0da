#include <gtest/gtest.h>
#include <string>

#include "app/BuiltInPackage.h"
#include "app/package/Base64.h"
#include "app/package/Package.h"

namespace bw::app {
namespace {

TEST(Base64, DecodesByTheStoredRules) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"", ""},          {"SW5zdC5leGU=", "Inst.exe"}, {"YQ==", "a"}, {"YWI=", "ab"}, {"YWJj", "abc"},
      {"YWJjZA", ""},     // not a multiple of four
      {"YW=j", ""},       // padding in the third place only
      {"YW*j", ""},       // outside the alphabet
      {"YQ==YWJj", "a"},  // padding ends the output
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeBase64(c.text, 4095), c.bytes) << c.text;
  EXPECT_EQ(DecodeBase64(EncodeBase64(std::string(5000, 'x')), 4095).size(), 4095u);
}

TEST(Base64, RoundTripsEveryByteAndLength) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (size_t n : {0, 1, 2, 3, 4, 255, 256}) {
    EXPECT_EQ(DecodeBase64(EncodeBase64(bytes.substr(0, n)), 4095), bytes.substr(0, n)) << n;
  }
}

Package SamplePackage() {
  Package package;
  for (int i = 0; i < kFileCount; ++i) {
    PackageRow& row = package.rows[i];
    row.name = "file" + std::to_string(i);
    row.url = "http://127.0.0.1/client/client0223/" + row.name;
    row.size = 1932735283ULL + i;
    row.digest = std::string(31, 'a') + static_cast<char>('0' + i);
    row.torrent = "d4:infod6:lengthi1eee" + std::string(i, '\0');
  }
  package.resourceListUrl = "https://127.0.0.1/downloader/tnwResourceList20170222.xml";
  package.statisticsConfigBase64 = EncodeBase64("[SubmitEventDownload]\n");
  return package;
}

TEST(Package, StoredFormRoundTrips) {
  const Package sample = SamplePackage();
  const std::string stored = EncodePackage(sample);
  ASSERT_FALSE(stored.empty());
  Package decoded;
  ASSERT_TRUE(DecodePackage(stored.data(), stored.size(), &decoded));
  for (int i = 0; i < kFileCount; ++i) {
    EXPECT_EQ(decoded.rows[i].name, sample.rows[i].name);
    EXPECT_EQ(decoded.rows[i].url, sample.rows[i].url);
    EXPECT_EQ(decoded.rows[i].size, sample.rows[i].size);
    EXPECT_EQ(decoded.rows[i].digest, sample.rows[i].digest);
    EXPECT_EQ(decoded.rows[i].torrent, sample.rows[i].torrent);
  }
  EXPECT_EQ(decoded.resourceListUrl, sample.resourceListUrl);
  EXPECT_EQ(decoded.statisticsConfigBase64, sample.statisticsConfigBase64);
}

TEST(Package, RefusesWhatIsNotExactlyOnePackage) {
  const std::string stored = EncodePackage(SamplePackage());
  Package decoded;
  for (size_t cut : {size_t{0}, size_t{5}, stored.size() / 2, stored.size() - 1}) {
    EXPECT_FALSE(DecodePackage(stored.data(), cut, &decoded)) << cut;
  }
  EXPECT_FALSE(DecodePackage((stored + "x").data(), stored.size() + 1, &decoded));
  std::string badDigest = stored;
  badDigest[11 + 2 * kSlotBytes + 8] = 'G';
  EXPECT_FALSE(DecodePackage(badDigest.data(), badDigest.size(), &decoded));

  Package tooLong = SamplePackage();
  tooLong.rows[2].url = "http://" + std::string(3100, 'h');
  EXPECT_TRUE(EncodePackage(tooLong).empty());
}

// The build embeds the demo package: five rows named as the package's files, each with a
// torrent of its file, and the statistics configuration naming the servers.
TEST(Package, BuiltInDemoPackageDecodes) {
  const Package& package = BuiltInPackage();
  const char* names[] = {"Inst.exe", "tnw001.cab", "tnw002.cab", "tnw003.cab", "tnw004.cab"};
  for (int i = 0; i < kFileCount; ++i) {
    EXPECT_EQ(package.rows[i].name, names[i]);
    EXPECT_TRUE(package.rows[i].url.ends_with(std::string("/") + names[i]));
    EXPECT_GT(package.rows[i].size, 0u);
    EXPECT_NE(package.rows[i].torrent.find(std::string(":name") + std::to_string(strlen(names[i])) + ":" + names[i]),
              std::string::npos);
  }
  EXPECT_NE(DecodeBase64(package.statisticsConfigBase64, 4095).find("/launchersubmit/eventListSubmit"),
            std::string::npos);
}

}  // namespace
}  // namespace bw::app
