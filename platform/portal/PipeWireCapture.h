// The pictures of the portal's screen-cast streams: one PipeWire stream per portal node,
// consumed on PipeWire's own loop thread, whose newest frame each stream keeps as a picture of
// 0x00RRGGBB words.
//
// The capturer's thread reads the pictures through Copy while the loop thread replaces them;
// each stream's picture has its own lock, held for one copy. Shared-memory buffers only (the
// consumer does not offer dmabuf), in any of the 32-bit RGB layouts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Screen.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace tlm {

class TPipeWireCapture {
public:
  // AFd: a connected PipeWire socket (from the portal), taken over. ANodes: the nodes to
  // consume. Throws TError when PipeWire refuses the connection or a stream.
  TPipeWireCapture(int AFd, const std::vector<uint32_t>& ANodes);
  ~TPipeWireCapture();
  TPipeWireCapture(const TPipeWireCapture&) = delete;
  TPipeWireCapture& operator=(const TPipeWireCapture&) = delete;

  size_t Count() const { return FStreams.size(); }
  // The size of stream AIndex's newest picture; false before its first frame.
  bool Size(size_t AIndex, int32_t& AWidth, int32_t& AHeight);
  // Copies ARect of stream AIndex's picture (picture coordinates, wholly inside it) to ADst,
  // rows AStride words apart. False before the first frame or when ARect is not inside.
  bool Copy(size_t AIndex, const TPixelRect& ARect, uint32_t* ADst, size_t AStride);
  // Waits until every stream has a frame (at most ATimeoutMs); whether they all have.
  bool WaitForFrames(int ATimeoutMs);
  // True once after a stream's picture changed its size (or got its first frame).
  bool TakeSizeChange() { return FSizeChanged.exchange(false); }
  // Frames taken so far by stream AIndex, and the ones refused as malformed (for tests).
  uint64_t Frames(size_t AIndex);
  uint64_t Refused(size_t AIndex);
  // Whether PipeWire ended the connection or a stream failed.
  bool Broken() const { return FBroken; }

  // The loop thread's callbacks.
  struct TStream;
  void Process(TStream& AStream);
  void FormatChanged(TStream& AStream, const void* AParam);
  void StreamFailed();

private:
  void Close();

  pw_thread_loop* FLoop = nullptr;
  pw_context* FContext = nullptr;
  pw_core* FCore = nullptr;
  std::vector<std::unique_ptr<TStream>> FStreams;
  std::mutex FFrameLock;  // with FFrameCv: waits for first frames
  std::condition_variable FFrameCv;
  std::atomic<bool> FSizeChanged{false};
  std::atomic<bool> FBroken{false};
};

// Converts one row of ACount pixels in SPA video layout AFormat to 0x00RRGGBB words (the
// fourth byte arbitrary, as IScreen allows); false for a layout the consumer does not take.
bool ConvertRow(uint32_t AFormat, const uint8_t* ASrc, uint32_t* ADst, size_t ACount);

}  // namespace tlm
