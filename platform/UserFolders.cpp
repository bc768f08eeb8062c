// The folder environment the program set at start-up, for the callers that are handed none.
#include <mutex>

#include "platform/Folders.h"

namespace tlm {

namespace {

std::mutex GLock;
TFolderEnvironment GFolders;

}  // namespace

void SetUserFolders(const TFolderEnvironment& AEnv) {
  std::lock_guard<std::mutex> hold(GLock);
  GFolders = AEnv;
}

TFolderEnvironment UserFolders() {
  std::lock_guard<std::mutex> hold(GLock);
  return GFolders;
}

}  // namespace tlm
