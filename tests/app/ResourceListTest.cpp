#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

#include "app/ResourceList.h"

namespace bw::app {
namespace {

ResourceList Parse(const std::string& text) { return ParseResourceList(text.data(), text.size()); }

std::string Document(const std::string& configs, const std::string& resources) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<project><configs>" + configs + "</configs><resources>" +
         resources + "</resources></project>";
}

TEST(ResourceList, ExpiryIsExactlyTheTextTrue) {
  struct Case {
    const char* expired;
    bool result;
  } cases[] = {{"true", true}, {"True", false}, {"1", false}, {" true ", false}, {"", false}};
  for (const Case& c : cases) {
    const ResourceList list = Parse(Document(std::string("<expire-info><expired>") + c.expired +
                                                 "</expired><message>过期了</message><url>http://127.0.0.1/new</url>"
                                                 "</expire-info>",
                                             ""));
    EXPECT_EQ(list.expired, c.result) << c.expired;
  }
  const ResourceList list =
      Parse(Document("<expire-info><expired>true</expired><message>过期了</message>"
                     "<url>http://127.0.0.1/new</url></expire-info>",
                     ""));
  EXPECT_EQ(list.expiryMessage, "过期了");
  EXPECT_EQ(list.expiryUrl, "http://127.0.0.1/new");
  // Under a root of another name, and without message or address.
  const ResourceList bare =
      Parse("<other><configs><expire-info><expired>true</expired></expire-info></configs></other>");
  EXPECT_TRUE(bare.expired);
  EXPECT_EQ(bare.expiryMessage, "");
  EXPECT_FALSE(bare.isResourceList);
}

// Whatever a captive portal or a broken server returns reads as "nothing said".
TEST(ResourceList, DocumentsThatAreNotResourceListsSayNothing) {
  for (const std::string& text : std::vector<std::string>{
           "", "<html><head><title>Hotel Wi-Fi</title></head><body><form>Login</form></body></html>",
           "<html><body><p>unclosed", "<project/>", "<project><configs/></project>",
           "<other><configs><p2p-switch>on</p2p-switch></configs></other>", std::string(5000, '<'),
           std::string("<project>\0<configs>", 19)}) {
    const ResourceList list = Parse(text);
    EXPECT_FALSE(list.expired) << text.substr(0, 40);
    EXPECT_FALSE(list.isResourceList) << text.substr(0, 40);
    EXPECT_TRUE(list.resources.empty()) << text.substr(0, 40);
  }
}

TEST(ResourceList, TheP2PSwitchIsOnOnlyForOn) {
  EXPECT_TRUE(Parse(Document("<p2p-switch>on</p2p-switch>", "")).p2pOn);
  for (const char* off : {"<p2p-switch>off</p2p-switch>", "<p2p-switch>ON</p2p-switch>", "<p2p-switch/>"}) {
    const ResourceList list = Parse(Document(off, ""));
    EXPECT_TRUE(list.isResourceList) << off;
    EXPECT_FALSE(list.p2pOn) << off;
  }
}

TEST(ResourceList, MirrorsOfOpenCdnsWithTheirHosts) {
  const ResourceList list = Parse(Document(
      "<p2p-switch>on</p2p-switch>",
      "<resource id=\"1\" task=\"http://a/Inst.exe\">"
      "  <cdn id=\"1\" name=\"n\" middle-dir=\"/client/\" file-name=\"Inst.exe\" host-name=\"cdn.example\" open=\"1\">"
      "    <ip>127.0.0.2</ip><ip> 127.0.0.3:8080 </ip><ip/><ip>127.0.0.4\x01</ip><other/><ip>127.0.0.5</ip>"
      "  </cdn>"
      "  <cdn id=\"2\" name=\"n\" middle-dir=\"dir/\" file-name=\"Inst.exe\" open=\"2\"><ip>127.0.0.6</ip></cdn>"
      "  <cdn id=\"3\" name=\"n\" middle-dir=\"/x/\" file-name=\"Inst.exe\" open=\"0\"><ip>127.0.0.7</ip></cdn>"
      "  <cdn id=\"4\" name=\"n\" middle-dir=\"/x/\" file-name=\"Inst.exe\"><ip>127.0.0.8</ip></cdn>"
      "  <cdn id=\"5\" name=\"n\" file-name=\"Inst.exe\" open=\"1\"><ip>127.0.0.9</ip></cdn>"
      "  <cdn id=\"6\" name=\"n\" middle-dir=\"/x/\" file-name=\"Inst.exe\" host-name=\"a&#13;&#10;X: y\" open=\"1\">"
      "    <ip>127.0.0.10</ip></cdn>"
      "  <notcdn/>"
      "  <cdn id=\"7\" name=\"n\" middle-dir=\"/x/\" file-name=\"Inst.exe\" open=\"1\"><ip>127.0.0.11</ip></cdn>"
      "</resource>"
      "<resource id=\"2\" task=\"http://unknown/\"/>"
      "<resource task=\"http://a/tnw001.cab\"><cdn id=\"1\" name=\"n\" middle-dir=\"/\" file-name=\"f\" open=\"1\">"
      "  <ip>127.0.0.12</ip></cdn></resource>"
      "<resource id=\"4\" task=\"http://a/tnw002.cab\"/>"));
  ASSERT_EQ(list.resources.size(), 2u) << "the resource without an id ends the walk";
  EXPECT_EQ(list.resources[0].task, "http://a/Inst.exe");
  std::vector<std::string> mirrors;
  for (const Mirror& m : list.resources[0].mirrors) mirrors.push_back(m.url + " " + m.host);
  EXPECT_THAT(mirrors, ::testing::ElementsAre("http://127.0.0.2/client/Inst.exe cdn.example",
                                              "http://127.0.0.3:8080/client/Inst.exe cdn.example",
                                              "http://127.0.0.6dir/Inst.exe null"));
  EXPECT_EQ(list.resources[1].task, "http://unknown/");
  EXPECT_TRUE(list.resources[1].mirrors.empty());
}

}  // namespace
}  // namespace bw::app
