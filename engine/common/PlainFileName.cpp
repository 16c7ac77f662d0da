#include "engine/common/PlainFileName.h"

namespace bw {

std::string PlainFileName(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) name.remove_suffix(1);
  std::string plain;
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) plain += c;
  }
  if (plain == "." || plain == "..") plain.clear();
  return plain;
}

}  // namespace bw
