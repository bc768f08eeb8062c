#include "host/HostFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/Folders.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

std::string ErrnoText(int AErr) { return std::strerror(AErr); }

}  // namespace

bool ExistingFile(const std::string& APath) {
  struct stat st{};
  return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BuildHostListing(std::string_view ARequest) {
  if (ARequest.empty()) {
    std::vector<TDirEntry> roots{{true, "/", 0}};
    const std::string home = UserHomeDir();
    if (home != "/") roots.push_back({true, home, 0});
    return BuildDirListing(DrivesHeader, roots);
  }
  std::string base = ARequest == "~" ? UserConfigDir() : std::string(ARequest);
  std::string first = base;
  while (first.size() > 1 && first.back() == '/') first.pop_back();
  if (base.back() != '/') base += '/';

  std::vector<TDirEntry> entries;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.c_str()), ::closedir);
  if (!dir) return BuildDirListing(first, entries);
  errno = 0;
  while (const dirent* ent = ::readdir(dir.get())) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    // TAB, CR and LF separate the fields and lines of a listing: such a name would forge entries.
    if (name.find_first_of("\t\r\n") != std::string::npos) continue;
    struct stat st{};
    const std::string full = base + name;
    // Links are shown as what they point to; a dangling link as the link itself.
    if (::stat(full.c_str(), &st) != 0 && ::lstat(full.c_str(), &st) != 0) st = {};
    if (S_ISDIR(st.st_mode)) {
      entries.push_back({true, name, 0});
    } else {
      entries.push_back({false, name, uint64_t(st.st_size)});
    }
    errno = 0;
  }
  if (errno != 0) throw TError(first + ": " + ErrnoText(errno));
  return BuildDirListing(first, entries);
}

// ---- one job at a time --------------------------------------------------------------------

TSerialJobs::~TSerialJobs() {
  Clear();
  WaitIdle();
  if (FWorker.joinable()) FWorker.join();
}

bool TSerialJobs::Push(std::function<void()> AJob) {
  std::lock_guard<std::mutex> hold(FLock);
  if (FJobs.size() >= FLimit) return false;
  FJobs.push_back(std::move(AJob));
  if (FBusy) return true;
  // The previous worker has left Run (it cleared FBusy under this lock and touches nothing
  // afterwards), so this join does not wait for anything that needs the lock.
  if (FWorker.joinable()) FWorker.join();
  try {
    FWorker = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    FJobs.pop_back();
    throw TError(std::string("작업 스레드를 시작할 수 없습니다: ") + e.what());
  }
  FBusy = true;
  return true;
}

void TSerialJobs::Clear() {
  std::lock_guard<std::mutex> hold(FLock);
  FJobs.clear();
  if (!FBusy) FIdle.notify_all();
}

void TSerialJobs::WaitIdle() {
  std::unique_lock<std::mutex> hold(FLock);
  FIdle.wait(hold, [this] { return !FBusy && FJobs.empty(); });
}

void TSerialJobs::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard<std::mutex> hold(FLock);
      if (FJobs.empty()) {
        FBusy = false;
        FIdle.notify_all();
        return;
      }
      job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    try {
      job();
    } catch (...) {
      // a job reports its own failures; one that escapes must not take the queue with it
    }
  }
}

}  // namespace tlm
