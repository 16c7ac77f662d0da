#pragma once
#include <QLocalServer>
#include <QObject>

#include "app/IInstanceChannel.h"

namespace bw::app::ui {

// The instances' reply channel on a Unix-domain socket: the running instance answers on its
// user-interface thread, so an answer also tells that the window is alive.
class LocalSocketChannel : public QObject, public IInstanceChannel {
  Q_OBJECT
 public:
  LocalSocketChannel();
  ~LocalSocketChannel() override;

  bool Listen(const std::string& path) override;
  bool Ask(const std::string& path, std::chrono::milliseconds wait) override;

 signals:
  // Another start asked for the window; emitted after it was answered.
  void activationRequested();

 private:
  void Answer();

  QLocalServer server_;
};

}  // namespace bw::app::ui
