#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace tlm {

namespace {

constexpr int ReachWaitMs = 2000;
// Unix socket paths are limited to about 108 bytes; a longer folder gets a hashed name in the
// temporary folder instead (still per user and per folder).
constexpr int MaxSocketPath = 100;

QString ServerNameFor(const QString& AFolder) {
  const QString path = QDir(AFolder).absoluteFilePath(QStringLiteral("instance.sock"));
  if (path.toUtf8().size() <= MaxSocketPath) return path;
  const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
  return QStringLiteral("TLMRemote-") + QString::fromLatin1(hash);
}

}  // namespace

TSingleInstance::TSingleInstance(const QString& AFolder, QObject* AParent)
    : QObject(AParent),
      FLock(QDir(AFolder).absoluteFilePath(QStringLiteral("instance.lock"))),
      FServerName(ServerNameFor(AFolder)) {
  FLock.setStaleLockTime(0);  // held as long as its owner lives, however long that is
  connect(&FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = FServer.nextPendingConnection()) {
      peer->close();
      peer->deleteLater();
      if (OnActivate) OnActivate();
    }
  });
}

TSingleInstance::~TSingleInstance() {
  FServer.close();
  FLock.unlock();
}

bool TSingleInstance::Acquire() {
  if (FLock.tryLock(0)) {
    // A socket left by a copy that died would refuse the name.
    QLocalServer::removeServer(FServerName);
    FServer.setSocketOptions(QLocalServer::UserAccessOption);
    FServer.listen(FServerName);  // without it later starts still end; they only cannot call us
    return true;
  }
  QLocalSocket peer;
  peer.connectToServer(FServerName);
  if (peer.waitForConnected(ReachWaitMs)) {
    peer.write("show\n");
    peer.waitForBytesWritten(ReachWaitMs);
    peer.disconnectFromServer();
  }
  return false;
}

}  // namespace tlm
