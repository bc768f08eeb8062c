#include "host/HostFiles.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/Folders.h"
#include "protocol/Error.h"
#include "protocol/LocalFiles.h"
#include "protocol/Messages.h"

namespace tlm {

bool ExistingFile(const std::string& APath) { return IsRegularFile(APath); }

std::string BuildHostListing(std::string_view ARequest) {
  if (ARequest.empty()) {
    std::vector<TDirEntry> roots;
    for (const std::string& root : ListingRoots()) roots.push_back({true, root, 0});
    return BuildDirListing(DrivesHeader, roots);
  }
  std::string base = ARequest == "~" ? UserConfigDir() : std::string(ARequest);
  // The first line is the folder without its trailing separator: a Windows drive root
  // becomes "C:", the POSIX root stays "/".
  std::string first = base;
  while (first.size() > 1 && IsPathSeparator(first.back())) first.pop_back();
  if (!IsPathSeparator(base.back())) base += PathSeparator;

  std::optional<std::vector<TDirEntry>> listed;
  try {
    listed = ListFolder(base);
  } catch (const TError& e) {
    throw TError(first + ": " + e.what());
  }
  std::vector<TDirEntry> entries;
  if (!listed) return BuildDirListing(first, entries);
  for (TDirEntry& entry : *listed) {
    // TAB, CR and LF separate the fields and lines of a listing: such a name would forge entries.
    if (entry.Name.find_first_of("\t\r\n") != std::string::npos) continue;
    entries.push_back(std::move(entry));
  }
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
