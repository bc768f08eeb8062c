#include "platform/fake/FakeInput.h"

namespace tlm {

TVirtualScreen TFakeInputInjector::VirtualScreen() {
  std::lock_guard LGuard(FLock);
  ++FVirtualScreenCalls;
  return FScreen;
}

void TFakeInputInjector::SendMouse(const TMouseInput& AInput) {
  TFakeInputRecord LRecord;
  LRecord.Kind = TFakeInputRecord::TKind::Mouse;
  LRecord.Mouse = AInput;
  Add(LRecord);
}

void TFakeInputInjector::SendKey(const TKeyInput& AInput) {
  TFakeInputRecord LRecord;
  LRecord.Kind = TFakeInputRecord::TKind::Key;
  LRecord.Key = AInput;
  Add(LRecord);
}

void TFakeInputInjector::Add(const TFakeInputRecord& ARecord) {
  {
    std::lock_guard LGuard(FLock);
    FRecords.push_back(ARecord);
  }
  FArrived.notify_all();
}

void TFakeInputInjector::SetVirtualScreen(const TVirtualScreen& AScreen) {
  std::lock_guard LGuard(FLock);
  FScreen = AScreen;
}

std::vector<TFakeInputRecord> TFakeInputInjector::Records() const {
  std::lock_guard LGuard(FLock);
  return FRecords;
}

std::vector<TMouseInput> TFakeInputInjector::MouseInputs() const {
  std::lock_guard LGuard(FLock);
  std::vector<TMouseInput> LResult;
  for (const TFakeInputRecord& LRecord : FRecords)
    if (LRecord.Kind == TFakeInputRecord::TKind::Mouse) LResult.push_back(LRecord.Mouse);
  return LResult;
}

std::vector<TKeyInput> TFakeInputInjector::KeyInputs() const {
  std::lock_guard LGuard(FLock);
  std::vector<TKeyInput> LResult;
  for (const TFakeInputRecord& LRecord : FRecords)
    if (LRecord.Kind == TFakeInputRecord::TKind::Key) LResult.push_back(LRecord.Key);
  return LResult;
}

int TFakeInputInjector::VirtualScreenCalls() const {
  std::lock_guard LGuard(FLock);
  return FVirtualScreenCalls;
}

void TFakeInputInjector::Clear() {
  std::lock_guard LGuard(FLock);
  FRecords.clear();
}

bool TFakeInputInjector::WaitForRecords(size_t ACount, std::chrono::milliseconds ATimeout) const {
  std::unique_lock LGuard(FLock);
  return FArrived.wait_for(LGuard, ATimeout, [&] { return FRecords.size() >= ACount; });
}

}  // namespace tlm
