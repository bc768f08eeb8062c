// An in-memory byte stream for packet tests: writes append to Written, reads consume Input
// and fail like a closed peer when it runs out.
#pragma once

#include <algorithm>
#include <cstring>

#include "protocol/Bytes.h"
#include "protocol/Connection.h"
#include "protocol/Error.h"

namespace tlm::test {

class TMemoryConnection final : public IConnection {
public:
  TBytes Input;
  size_t ReadPos = 0;
  TBytes Written;
  int ReadCalls = 0;

  void WriteAll(const void* AData, size_t ALen) override {
    auto p = static_cast<const uint8_t*>(AData);
    Written.insert(Written.end(), p, p + ALen);
  }
  void ReadExact(void* AData, size_t ALen) override {
    ++ReadCalls;
    if (Input.size() - ReadPos < ALen) throw TConnectionError("Connection closed by peer");
    std::memcpy(AData, Input.data() + ReadPos, ALen);
    ReadPos += ALen;
  }
  bool WaitReadable(int) override { return ReadPos < Input.size(); }
};

}  // namespace tlm::test
