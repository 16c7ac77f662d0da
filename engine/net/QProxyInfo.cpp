#include "engine/net/QProxyInfo.h"

#include "engine/net/NetworkLock.h"

namespace bw {
namespace {

QProxyInfo& GlobalRecord() {
  static QProxyInfo record;
  return record;
}

}  // namespace

QProxyInfo QProxyInfo::Global() {
  QScopedLock guard(NetworkLock());
  return GlobalRecord();
}

void QProxyInfo::SetGlobal(const QProxyInfo& info) {
  QScopedLock guard(NetworkLock());
  GlobalRecord() = info;
}

}  // namespace bw
