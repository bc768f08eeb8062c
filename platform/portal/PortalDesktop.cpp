#include "platform/portal/PortalDesktop.h"

#include <linux/input-event-codes.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <utility>

#include "platform/KeyCodes.h"
#include "platform/portal/PipeWireCapture.h"
#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr int SetupStepTimeoutMs = 30000;
// Positions beyond this are not a desktop's (and would overflow the layout's arithmetic).
constexpr int32_t MaxPosition = 1 << 20;

}  // namespace

TPortalDesktop::TPortalDesktop(TPortalDesktopSetup ASetup) : FSetup(std::move(ASetup)) {
  FThread = std::thread([this] { Run(); });
}

TPortalDesktop::~TPortalDesktop() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  // The streams go before the session that feeds them.
  FCapture.reset();
  if (FBus && !FSession.empty()) FBus->CloseSession(FSession);
}

void TPortalDesktop::Run() {
  try {
    Start();
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void TPortalDesktop::Fail(const std::string& AProblem) {
  std::lock_guard Lock(FLock);
  FState = TState::Failed;
  FProblem = AProblem;
  FStateCv.notify_all();
}

void TPortalDesktop::Start() {
  auto Bus = std::make_unique<TPortalBus>(FSetup.BusAddress);
  const uint32_t CastVersion = Bus->Property(ScreenCastInterface, "version");
  if (CastVersion == 0) throw TError("portal: no screen cast on this desktop");
  const uint32_t RemoteVersion = Bus->Property(RemoteDesktopInterface, "version");
  const bool Remote = RemoteVersion > 0;
  // Remote-desktop sessions keep their permission through SelectDevices (version 2 on);
  // a screen cast alone through SelectSources (version 4 on).
  const bool Persist = Remote ? RemoteVersion >= 2 : CastVersion >= 4;
  const char* Interface = Remote ? RemoteDesktopInterface : ScreenCastInterface;
  const std::string Token = Persist && FSetup.Tokens.Load ? FSetup.Tokens.Load() : std::string();

  TPortalResults Created = Bus->Request(Interface, "CreateSession", {},
                                        {{"session_handle_token", "tlm" + std::to_string(::getpid())}},
                                        SetupStepTimeoutMs, FStop);
  if (Created.SessionHandle.empty()) throw TError("portal: no session handle");
  {
    std::lock_guard Lock(FLock);
    FSession = Created.SessionHandle;
    FBus = std::move(Bus);
  }
  FBus->WatchSession(FSession);

  if (Remote) {
    TPortalOptions Devices{{"types", uint32_t(PortalDeviceKeyboard | PortalDevicePointer)}};
    if (Persist) {
      Devices.push_back({"persist_mode", PortalPersistUntilRevoked});
      if (!Token.empty()) Devices.push_back({"restore_token", Token});
    }
    FBus->Request(RemoteDesktopInterface, "SelectDevices", {TPortalPath{FSession}}, Devices, SetupStepTimeoutMs, FStop);
  }
  TPortalOptions Sources{{"types", PortalSourceMonitor}, {"multiple", true}};
  // The cursor drawn into the picture, as the other backends give it; else none at all.
  if (FBus->Property(ScreenCastInterface, "AvailableCursorModes") & PortalCursorEmbedded)
    Sources.push_back({"cursor_mode", PortalCursorEmbedded});
  if (Persist && !Remote) {
    Sources.push_back({"persist_mode", PortalPersistUntilRevoked});
    if (!Token.empty()) Sources.push_back({"restore_token", Token});
  }
  FBus->Request(ScreenCastInterface, "SelectSources", {TPortalPath{FSession}}, Sources, SetupStepTimeoutMs, FStop);

  // The user's dialog (unless the token restored the permission): no time limit.
  TPortalResults Started = FBus->Request(Interface, "Start", {TPortalPath{FSession}, std::string()}, {}, -1, FStop);
  // A token is good for one start: the new one replaces it, or clears it when none came.
  if (Persist && FSetup.Tokens.Save) FSetup.Tokens.Save(Started.RestoreToken);
  if (Started.Streams.empty()) throw TError("portal: the session has no screen");

  std::vector<uint32_t> Nodes;
  for (const auto& S : Started.Streams) Nodes.push_back(S.NodeId);
  auto Capture = std::make_unique<TPipeWireCapture>(FBus->OpenPipeWireRemote(FSession), Nodes);
  // In slices, so that a desktop destroyed meanwhile is not held up.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FSetup.FirstFrameTimeoutMs);
  bool HasFrames = false;
  while (!(HasFrames = Capture->WaitForFrames(100)) && !FStop && !Capture->Broken() &&
         std::chrono::steady_clock::now() < Deadline) {
  }
  if (FStop) throw TError("portal: abandoned");
  if (!HasFrames)
    throw TError(Capture->Broken() ? "PipeWire: the screen's stream failed" : "PipeWire: no picture from the screen");

  std::lock_guard Lock(FLock);
  FDevices = Remote ? Started.Devices : 0;
  FStreams = Started.Streams;
  FCapture = std::move(Capture);
  FCapture->TakeSizeChange();
  RefreshLayoutLocked();
  FState = TState::Running;
  FStateCv.notify_all();
}

void TPortalDesktop::RefreshLayoutLocked() {
  std::vector<TMonitor> Monitors;
  int32_t NextX = 0;
  for (size_t I = 0; I < FStreams.size(); ++I) {
    const TPortalStreamInfo& S = FStreams[I];
    int32_t W = 0, H = 0;
    if (!FCapture->Size(I, W, H)) continue;
    TMonitor M;
    M.Node = S.NodeId;
    // Without a believable position the portal has one monitor (or says nothing): side by side.
    const bool Placed = S.HasPosition && std::abs(int64_t(S.X)) <= MaxPosition && std::abs(int64_t(S.Y)) <= MaxPosition;
    const int32_t X = Placed ? S.X : NextX;
    const int32_t Y = Placed ? S.Y : 0;
    M.Bounds = TPixelRect{X, Y, X + W, Y + H};
    M.LogicalWidth = S.HasSize && S.Width > 0 ? S.Width : W;
    M.LogicalHeight = S.HasSize && S.Height > 0 ? S.Height : H;
    NextX = std::max(NextX, M.Bounds.Right);
    Monitors.push_back(M);
  }
  FMonitors = std::move(Monitors);
  FLayoutChanged = true;
}

TPortalDesktop::TState TPortalDesktop::State() {
  std::lock_guard Lock(FLock);
  return FState;
}

std::string TPortalDesktop::Problem() {
  Usable();
  std::lock_guard Lock(FLock);
  return FProblem;
}

bool TPortalDesktop::WaitUntilRunning(int ATimeoutMs) {
  std::unique_lock Lock(FLock);
  FStateCv.wait_for(Lock, std::chrono::milliseconds(ATimeoutMs), [this] { return FState != TState::Starting; });
  return FState == TState::Running;
}

bool TPortalDesktop::Usable() {
  std::unique_lock Lock(FLock);
  if (FState != TState::Running) return false;
  Lock.unlock();
  // Asked outside our lock: the bus has its own.
  const bool Closed = FBus->SessionClosed();
  const bool Broken = FCapture->Broken();
  if (!Closed && !Broken) return true;
  Lock.lock();
  if (FState == TState::Running) {
    FState = TState::Failed;
    FProblem = Closed ? "portal: the session was ended" : "PipeWire: the screen's stream failed";
    FMonitors.clear();
    FLayoutChanged = true;
  }
  return false;
}

bool TPortalDesktop::PointerGranted() {
  std::lock_guard Lock(FLock);
  return FDevices & PortalDevicePointer;
}

bool TPortalDesktop::KeyboardGranted() {
  std::lock_guard Lock(FLock);
  return FDevices & PortalDeviceKeyboard;
}

std::vector<TMonitorInfoRec> TPortalDesktop::Monitors() {
  Usable();
  std::lock_guard Lock(FLock);
  std::vector<TMonitorInfoRec> List;
  for (const auto& M : FMonitors) List.push_back({M.Bounds, false});
  // The monitor at the origin is the primary one, else the first.
  auto Primary = std::find_if(List.begin(), List.end(), [](const auto& M) { return M.Bounds.Left == 0 && M.Bounds.Top == 0; });
  if (Primary == List.end() && !List.empty()) Primary = List.begin();
  if (Primary != List.end()) Primary->Primary = true;
  return List;
}

bool TPortalDesktop::TakeLayoutChange() {
  Usable();
  std::lock_guard Lock(FLock);
  if (FState == TState::Running && FCapture->TakeSizeChange()) RefreshLayoutLocked();
  return std::exchange(FLayoutChanged, false);
}

bool TPortalDesktop::CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
  std::vector<TMonitor> Monitors;
  {
    std::lock_guard Lock(FLock);
    if (FState != TState::Running) return false;
    Monitors = FMonitors;
  }
  bool Copied = false;
  for (size_t I = 0; I < Monitors.size(); ++I) {
    const TPixelRect Part = IntersectRect(ARect, Monitors[I].Bounds);
    if (Part.Empty()) continue;
    const TPixelRect InPicture{Part.Left - Monitors[I].Bounds.Left, Part.Top - Monitors[I].Bounds.Top,
                               Part.Right - Monitors[I].Bounds.Left, Part.Bottom - Monitors[I].Bounds.Top};
    uint32_t* Dst = ADst + size_t(Part.Top - ARect.Top) * AStride + size_t(Part.Left - ARect.Left);
    // Monitors skip streams without a picture, so the monitor's stream is found by its node.
    for (size_t S = 0; S < FStreams.size(); ++S)
      if (FStreams[S].NodeId == Monitors[I].Node) Copied = FCapture->Copy(S, InPicture, Dst, AStride) || Copied;
  }
  return Copied;
}

bool TPortalDesktop::Send(const char* AMethod, const std::vector<TPortalArg>& AArgs) {
  if (!Usable()) return false;
  std::string Session;
  {
    std::lock_guard Lock(FLock);
    Session = FSession;
  }
  return FBus->Notify(AMethod, Session, AArgs);
}

bool TPortalDesktop::PointerTo(int32_t AX, int32_t AY) {
  TMonitor Target;
  {
    std::lock_guard Lock(FLock);
    if (!(FDevices & PortalDevicePointer)) return false;
    // The monitor under the point, else the nearest one: positions between monitors are held
    // at the nearest edge, as the pointer would be.
    int64_t Best = -1;
    for (const auto& M : FMonitors) {
      const int64_t Dx = AX < M.Bounds.Left ? M.Bounds.Left - AX : AX >= M.Bounds.Right ? AX - M.Bounds.Right + 1 : 0;
      const int64_t Dy = AY < M.Bounds.Top ? M.Bounds.Top - AY : AY >= M.Bounds.Bottom ? AY - M.Bounds.Bottom + 1 : 0;
      const int64_t D = Dx * Dx + Dy * Dy;
      if (Best < 0 || D < Best) {
        Best = D;
        Target = M;
      }
    }
    if (Best < 0) return false;
  }
  const int32_t X = std::clamp(AX, Target.Bounds.Left, Target.Bounds.Right - 1) - Target.Bounds.Left;
  const int32_t Y = std::clamp(AY, Target.Bounds.Top, Target.Bounds.Bottom - 1) - Target.Bounds.Top;
  // The stream's coordinates are the compositor's, which differ from the picture's on a
  // scaled monitor.
  const double Lx = double(X) * Target.LogicalWidth / Target.Bounds.Width();
  const double Ly = double(Y) * Target.LogicalHeight / Target.Bounds.Height();
  return Send("NotifyPointerMotionAbsolute", {Target.Node, Lx, Ly});
}

bool TPortalDesktop::PointerBy(int32_t ADx, int32_t ADy) {
  if (!PointerGranted()) return false;
  return Send("NotifyPointerMotion", {double(ADx), double(ADy)});
}

bool TPortalDesktop::Button(uint32_t AEvdevButton, bool ADown) {
  if (!PointerGranted()) return false;
  return Send("NotifyPointerButton", {int32_t(AEvdevButton), uint32_t(ADown ? 1 : 0)});
}

bool TPortalDesktop::Scroll(int32_t ASteps) {
  if (!PointerGranted()) return false;
  return Send("NotifyPointerAxisDiscrete", {uint32_t(0) /*vertical*/, ASteps});
}

bool TPortalDesktop::Keysym(uint32_t AKeysym, bool ADown) {
  if (!KeyboardGranted()) return false;
  return Send("NotifyKeyboardKeysym", {int32_t(AKeysym), uint32_t(ADown ? 1 : 0)});
}

bool PortalAvailable(const std::string& AAddress) {
  try {
    return TPortalBus(AAddress).PortalPresent();
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

class TPortalScreen final : public IScreen {
public:
  explicit TPortalScreen(std::shared_ptr<TPortalDesktop> ADesktop) : FDesktop(std::move(ADesktop)) {}
  std::vector<TMonitorInfoRec> EnumMonitors() override { return FDesktop->Monitors(); }
  TPixelRect ScreenRect() override {
    for (const auto& M : FDesktop->Monitors())
      if (M.Primary) return TPixelRect{0, 0, M.Bounds.Width(), M.Bounds.Height()};
    return {};
  }
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) override {
    return FDesktop->CopyRect(ARect, ADst, AStride);
  }
  // The portal draws the cursor into the picture.
  bool GetCursor(TCursorImage&) override { return false; }
  bool TakeLayoutChange() override { return FDesktop->TakeLayoutChange(); }

private:
  std::shared_ptr<TPortalDesktop> FDesktop;
};

class TPortalInjector final : public IInputInjector {
public:
  explicit TPortalInjector(std::shared_ptr<TPortalDesktop> ADesktop) : FDesktop(std::move(ADesktop)) {}
  ~TPortalInjector() override {
    for (uint32_t B : FButtonsDown) FDesktop->Button(B, false);
    for (uint32_t K : FKeysDown) FDesktop->Keysym(K, false);
  }

  TVirtualScreen VirtualScreen() override {
    std::lock_guard Lock(FVirtLock);
    TPixelRect R;
    bool First = true;
    for (const auto& M : FDesktop->Monitors()) {
      R = First ? M.Bounds
                : TPixelRect{std::min(R.Left, M.Bounds.Left), std::min(R.Top, M.Bounds.Top),
                             std::max(R.Right, M.Bounds.Right), std::max(R.Bottom, M.Bounds.Bottom)};
      First = false;
    }
    FVirt = TVirtualScreen{R.Left, R.Top, R.Width(), R.Height()};
    return FVirt;
  }

  void SendMouse(const TMouseInput& AInput) override {
    if (AInput.Flags & MOUSEEVENTF_MOVE) {
      if (AInput.Flags & MOUSEEVENTF_ABSOLUTE) {
        const TVirtualScreen Virt = [this] {
          std::lock_guard Lock(FVirtLock);
          return FVirt;
        }();
        if (Virt.Width > 0 && Virt.Height > 0)
          FDesktop->PointerTo(Virt.Left + PixelFromAbsolute(AInput.Dx, Virt.Width),
                              Virt.Top + PixelFromAbsolute(AInput.Dy, Virt.Height));
      } else {
        FDesktop->PointerBy(std::clamp(AInput.Dx, -65535, 65535), std::clamp(AInput.Dy, -65535, 65535));
      }
    }
    if (AInput.Flags & MOUSEEVENTF_LEFTDOWN) Button(BTN_LEFT, true);
    if (AInput.Flags & MOUSEEVENTF_LEFTUP) Button(BTN_LEFT, false);
    if (AInput.Flags & MOUSEEVENTF_RIGHTDOWN) Button(BTN_RIGHT, true);
    if (AInput.Flags & MOUSEEVENTF_RIGHTUP) Button(BTN_RIGHT, false);
    if (AInput.Flags & MOUSEEVENTF_MIDDLEDOWN) Button(BTN_MIDDLE, true);
    if (AInput.Flags & MOUSEEVENTF_MIDDLEUP) Button(BTN_MIDDLE, false);
    if (AInput.Flags & MOUSEEVENTF_WHEEL) {
      // Whole notches only; a smooth-scrolling viewer's parts add up until one is complete.
      FWheelRemainder += AInput.MouseData;
      const int32_t Notches = FWheelRemainder / WHEEL_DELTA;
      FWheelRemainder -= Notches * WHEEL_DELTA;
      // Away from the user is up, which the portal counts negative.
      if (Notches != 0) FDesktop->Scroll(-Notches);
    }
  }

  void SendKey(const TKeyInput& AInput) override {
    const auto Sym = NativeKeyFromVirtualKey(AInput.Vk, AInput.Flags & KEYEVENTF_EXTENDEDKEY);
    if (!Sym) return;  // a code we cannot express: dropped like a refused input
    const bool Down = !(AInput.Flags & KEYEVENTF_KEYUP);
    // A release of a key that is not down is still sent: a stuck key is worse than a stray release.
    FDesktop->Keysym(*Sym, Down);
    if (Down)
      FKeysDown.insert(*Sym);
    else
      FKeysDown.erase(*Sym);
  }

private:
  void Button(uint32_t AButton, bool ADown) {
    FDesktop->Button(AButton, ADown);
    if (ADown)
      FButtonsDown.insert(AButton);
    else
      FButtonsDown.erase(AButton);
  }

  std::shared_ptr<TPortalDesktop> FDesktop;
  // The host reads the layout again on its capture thread while input arrives on its reader.
  std::mutex FVirtLock;
  TVirtualScreen FVirt;
  int32_t FWheelRemainder = 0;
  std::set<uint32_t> FButtonsDown;
  std::set<uint32_t> FKeysDown;
};

}  // namespace

std::unique_ptr<IScreen> CreatePortalScreen(std::shared_ptr<TPortalDesktop> ADesktop) {
  return std::make_unique<TPortalScreen>(std::move(ADesktop));
}

std::unique_ptr<IInputInjector> CreatePortalInjector(std::shared_ptr<TPortalDesktop> ADesktop) {
  return std::make_unique<TPortalInjector>(std::move(ADesktop));
}

}  // namespace tlm
