#include "app/ui/LocalSocketChannel.h"

#include <QLocalSocket>
#include <string_view>

namespace bw::app::ui {
namespace {

constexpr std::string_view kRequest = "activate\n";
constexpr std::string_view kAnswerText = "ok\n";

QByteArray Bytes(std::string_view text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

LocalSocketChannel::LocalSocketChannel() {
  connect(&server_, &QLocalServer::newConnection, this, &LocalSocketChannel::Answer);
}

LocalSocketChannel::~LocalSocketChannel() { server_.close(); }

bool LocalSocketChannel::Listen(const std::string& path) {
  const QString name = QString::fromStdString(path);
  QLocalServer::removeServer(name);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  return server_.listen(name);
}

bool LocalSocketChannel::Ask(const std::string& path, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const auto left = [&] {
    return static_cast<int>(std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
  };
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(path));
  if (!socket.waitForConnected(left())) return false;
  socket.write(Bytes(kRequest));
  if (!socket.waitForBytesWritten(left())) return false;
  QByteArray answer;
  while (!answer.contains('\n') && socket.waitForReadyRead(left())) answer += socket.readAll();
  return answer == Bytes(kAnswerText);
}

void LocalSocketChannel::Answer() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    const auto serve = [this, socket] {
      if (!socket->canReadLine()) return;
      if (socket->readLine() != Bytes(kRequest)) {
        socket->disconnectFromServer();
        return;
      }
      socket->write(Bytes(kAnswerText));
      socket->flush();
      emit activationRequested();
    };
    connect(socket, &QLocalSocket::readyRead, this, serve);
    // The request may have come with the connection.
    serve();
  }
}

}  // namespace bw::app::ui
