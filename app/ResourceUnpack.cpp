#include "app/ResourceUnpack.h"

#include "app/AppTexts.h"
#include "app/package/Base64.h"
#include "app/package/Package.h"
#include "engine/api/EngineApi.h"
#include "platform/File.h"

namespace bw::app {

int UnpackResource(std::string_view bytes, bool base64, const std::string& folder, const std::string& name,
                   std::string* path) {
  const std::string content = base64 ? DecodeBase64(bytes, kSlotBytes - 1) : std::string(bytes);
  *path = folder + "/" + name;
  platform::MakeDirectories(folder);
  if (!content.empty() && platform::ReplaceFileDurably(*path, content.data(), content.size()) == 0) return 0;
  LogPrintf(kAppLogChannel, kAppLogChannel, "Brightwillow UI : 释放文件(path=%s)第一次失败", path->c_str());
  const std::string temp = platform::PrivateTempFolder();
  if (!temp.empty() && !content.empty()) {
    *path = temp + "/" + name;
    platform::RemoveFile(*path);
    if (platform::WriteNewFile(*path, content.data(), content.size()) == 0) return 1;
  }
  LogPrintf(kAppLogChannel, kAppLogChannel, "Brightwillow UI : 初始化失败，释放文件(path=%s)第二次失败", path->c_str());
  return -1;
}

}  // namespace bw::app
