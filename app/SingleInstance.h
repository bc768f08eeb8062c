// One running copy of the program per configuration folder. Two copies would register with the
// same device key and cut each other off; a second start instead asks the running copy to bring
// its window forward and ends.
//
// Contract: created and used on the user-interface thread. The lock (QLockFile) and the local
// socket both live in the configuration folder, which is the owner's alone; a lock left behind
// by a copy that died is taken over.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>

namespace tlm {

class TSingleInstance final : public QObject {
  Q_OBJECT
public:
  explicit TSingleInstance(const QString& AFolder, QObject* AParent = nullptr);
  ~TSingleInstance() override;

  // True: this copy is the one, and listens for later starts. False: another copy runs; it was
  // asked to come forward (as far as it could be reached).
  bool Acquire();

  // Raised when a later start asks this copy to come forward.
  std::function<void()> OnActivate;

private:
  QLockFile FLock;
  QString FServerName;
  QLocalServer FServer;
};

}  // namespace tlm
