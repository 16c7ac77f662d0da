#include "app/ResourceList.h"

#include <cstdlib>
#include <cstring>
#include <tinyxml2.h>

#include "app/HttpGet.h"

namespace bw::app {
namespace {

using tinyxml2::XMLElement;

constexpr size_t kMaxExpiryText = 4095;
constexpr size_t kMaxMirrorText = 1024;

std::string TextOf(const XMLElement* e) {
  const char* text = e ? e->GetText() : nullptr;
  return text ? text : "";
}

std::string AttributeOf(const XMLElement* e, const char* name) {
  const char* value = e->Attribute(name);
  return value ? value : "";
}

const XMLElement* Child(const XMLElement* e, const char* name) { return e ? e->FirstChildElement(name) : nullptr; }

bool IsNamed(const XMLElement* e, const char* name) { return std::strcmp(e->Name(), name) == 0; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// A mirror text goes into a request line or a header: no control characters, bounded length.
bool IsSafeText(const std::string& text) {
  if (text.size() > kMaxMirrorText) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A "cdn" that is open and names its whole path gives one mirror per "ip" child.
void ReadCdn(const XMLElement* cdn, std::vector<Mirror>* mirrors) {
  for (const char* required : {"id", "name", "middle-dir", "file-name"}) {
    if (AttributeOf(cdn, required).empty()) return;
  }
  if (std::strtol(AttributeOf(cdn, "open").c_str(), nullptr, 10) == 0) return;
  const std::string middle = Trimmed(AttributeOf(cdn, "middle-dir"));
  const std::string file = Trimmed(AttributeOf(cdn, "file-name"));
  const char* hostName = cdn->Attribute("host-name");
  const std::string host = hostName ? Trimmed(hostName) : "null";
  if (!IsSafeText(middle) || !IsSafeText(file) || !IsSafeText(host)) return;
  for (const XMLElement* ip = cdn->FirstChildElement(); ip && IsNamed(ip, "ip"); ip = ip->NextSiblingElement()) {
    const std::string address = Trimmed(TextOf(ip));
    if (address.empty() || !IsSafeText(address)) continue;
    mirrors->push_back({"http://" + address + middle + file, host});
  }
}

void ReadResources(const XMLElement* project, ResourceList* list) {
  const XMLElement* resources = Child(project, "resources");
  for (const XMLElement* r = resources ? resources->FirstChildElement() : nullptr; r; r = r->NextSiblingElement()) {
    if (!IsNamed(r, "resource") || AttributeOf(r, "id").empty()) break;
    ResourceEntry entry;
    entry.task = AttributeOf(r, "task");
    for (const XMLElement* cdn = r->FirstChildElement(); cdn && IsNamed(cdn, "cdn"); cdn = cdn->NextSiblingElement()) {
      ReadCdn(cdn, &entry.mirrors);
    }
    list->resources.push_back(std::move(entry));
  }
}

}  // namespace

ResourceList ParseResourceList(const char* data, size_t size) {
  ResourceList list;
  tinyxml2::XMLDocument document;
  if (!data || document.Parse(data, size) != tinyxml2::XML_SUCCESS) return list;
  const XMLElement* root = document.RootElement();
  if (!root) return list;
  const XMLElement* configs = Child(root, "configs");
  const XMLElement* expiry = Child(configs, "expire-info");
  if (TextOf(Child(expiry, "expired")) == "true") {
    list.expired = true;
    list.expiryMessage = TextOf(Child(expiry, "message")).substr(0, kMaxExpiryText);
    list.expiryUrl = TextOf(Child(expiry, "url")).substr(0, kMaxExpiryText);
  }
  const XMLElement* p2p = Child(configs, "p2p-switch");
  if (!IsNamed(root, "project") || !p2p) return list;
  list.isResourceList = true;
  list.p2pOn = TextOf(p2p) == "on";
  ReadResources(root, &list);
  return list;
}

std::optional<ResourceList> FetchResourceList(const std::string& url, long timeoutSeconds,
                                              const std::atomic<bool>* cancel) {
  std::string content, error;
  long status = 0;
  if (!HttpGet(url, &content, &error, &status, timeoutSeconds, cancel)) return std::nullopt;
  return ParseResourceList(content.data(), content.size());
}

}  // namespace bw::app
