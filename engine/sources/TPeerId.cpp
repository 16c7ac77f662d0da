#include "engine/sources/TPeerId.h"

namespace bw {

TUrlInfo& TPeerId::UrlInfo() {
  if (!urlInfo_) urlInfo_ = std::make_unique<TUrlInfo>();
  return *urlInfo_;
}

}  // namespace bw
