#include "app/ResourceUnpack.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "app/AppTexts.h"
#include "app/package/Base64.h"
#include "app/package/Package.h"
#include "engine/frame/EngineLog.h"
#include "platform/File.h"

namespace bw::app {
namespace {

// A shared temporary folder is writable by everyone: fixed names there could be taken over.
// This process makes a folder only it can use, once.
std::string PrivateTempFolder() {
  static std::once_flag once;
  static std::string folder;
  std::call_once(once, [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/bwapp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) folder = name.data();
  });
  return folder;
}

bool WriteNew(const std::string& path, const std::string& content) {
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const int64_t written = platform::WriteAt(fd, content.data(), static_cast<int64_t>(content.size()), 0);
  const bool ok = written == static_cast<int64_t>(content.size()) && platform::SyncFile(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

int UnpackResource(std::string_view bytes, bool base64, const std::string& folder, const std::string& name,
                   std::string* path) {
  const std::string content = base64 ? DecodeBase64(bytes, kSlotBytes - 1) : std::string(bytes);
  *path = folder + "/" + name;
  platform::MakeDirectories(folder);
  if (!content.empty() && platform::ReplaceFileDurably(*path, content.data(), content.size()) == 0) return 0;
  LogPrintf(kAppLogChannel, kAppLogChannel, "Brightwillow UI : 释放文件(path=%s)第一次失败", path->c_str());
  const std::string temp = PrivateTempFolder();
  if (!temp.empty() && !content.empty()) {
    *path = temp + "/" + name;
    if (WriteNew(*path, content)) return 1;
  }
  LogPrintf(kAppLogChannel, kAppLogChannel, "Brightwillow UI : 初始化失败，释放文件(path=%s)第二次失败", path->c_str());
  return -1;
}

}  // namespace bw::app
