// The DevTools connection: NUL-framed JSON messages over the browser's pipe,
// the replies still awaited, and the routing of events.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "engine/browser_process.h"

namespace engine {

// Protocol messages keep their members in the order the browser wrote them,
// so that a result can be shown as it was received.
using Json = nlohmann::ordered_json;

class Connection {
 public:
  using ReplyFn = std::function<void(const Json& message)>;
  using EventFn = std::function<void(const std::string& sessionId, const std::string& method, const Json& params)>;

  void Open(PipeEnds pipe);
  // Forgets the pipe and every awaited reply.
  void Close();
  bool CanSend() const { return pipe_.to() >= 0; }
  // The browser closed its end, or writing to it failed.
  bool gone() const { return gone_; }
  void SetEventHandler(EventFn fn) { onEvent_ = std::move(fn); }

  // Sends one command; returns its id, 0 when the browser is gone. reply may
  // be empty when the answer does not matter.
  int Send(const std::string& method, const std::string& paramsJson, const std::string& sessionId, ReplyFn reply);
  template <class J>
  int Send(const std::string& method, const J& params, const std::string& sessionId, ReplyFn reply) {
    return Send(method, params.is_null() ? std::string("{}") : params.dump(-1, ' ', false, J::error_handler_t::replace),
                sessionId, std::move(reply));
  }

  // Poll plumbing for the message loop.
  int readFd() const { return pipe_.from(); }
  int writeFd() const { return pipe_.to(); }
  bool WantsWrite() const { return !out_.empty() && pipe_.to() >= 0; }
  void Flush();
  void ReadAvailable();
  bool HasBufferedMessage() const { return in_.find('\0') != std::string::npos; }
  // Dispatches complete messages until none is left or stop() is true.
  void DispatchBuffered(const std::function<bool()>& stop);
  // Blocks until the reply to id has been dispatched, the browser is gone or
  // the deadline passes; events that arrive meanwhile are dispatched too.
  bool AwaitReply(int id, Clock::time_point deadline);
  // Writes what is queued, for at most until the deadline.
  void FlushUntil(Clock::time_point deadline);

 private:
  void MarkGone();
  void Dispatch(const char* data, size_t size);

  PipeEnds pipe_;
  bool gone_ = false;
  std::string out_;  // bytes not yet written
  std::string in_;   // bytes read, not yet dispatched
  int nextId_ = 1;
  std::unordered_map<int, ReplyFn> pending_;
  EventFn onEvent_;
};

// HALVERN_DEVTOOLS_TRACE=<file> appends every protocol message to that file.
void TraceMessage(const char* direction, const char* data, size_t size);

}  // namespace engine
