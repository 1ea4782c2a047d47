#include "engine/devtools_connection.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

#include "engine/devtools_util.h"
#include "engine/engine_log.h"

namespace engine {

void TraceMessage(const char* direction, const char* data, size_t size) {
  static int fd = [] {
    const char* path = std::getenv("HALVERN_DEVTOOLS_TRACE");
    return path && *path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  }();
  if (fd < 0) return;
  static const auto start = Clock::now();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  std::string line = std::to_string(us / 1000.0) + " " + direction;
  line.append(data, std::min<size_t>(size, 2000));
  line.push_back('\n');
  (void)!write(fd, line.data(), line.size());
}

void Connection::Open(PipeEnds pipe) {
  pipe_ = std::move(pipe);
  gone_ = false;
  in_.clear();
  out_.clear();
  pending_.clear();
}

void Connection::Close() {
  pipe_.CloseBoth();
  in_.clear();
  out_.clear();
  pending_.clear();
}

void Connection::MarkGone() {
  if (!gone_) EngineLog("browser pipe closed");
  gone_ = true;
  pipe_.CloseTo();
  out_.clear();
}

int Connection::Send(const std::string& method, const std::string& paramsJson, const std::string& sessionId,
                     ReplyFn reply) {
  if (pipe_.to() < 0) return 0;
  int id = nextId_++;
  std::string text = "{\"id\":" + std::to_string(id) + ",\"method\":" + Json(method).dump() + ",\"params\":" + paramsJson;
  if (!sessionId.empty()) text += ",\"sessionId\":" + Json(sessionId).dump();
  text += "}";
  TraceMessage("> ", text.data(), text.size());
  out_ += text;
  out_.push_back('\0');
  if (reply) pending_.emplace(id, std::move(reply));
  Flush();
  return id;
}

void Connection::Flush() {
  while (!out_.empty() && pipe_.to() >= 0) {
    ssize_t n = write(pipe_.to(), out_.data(), out_.size());
    if (n > 0) {
      out_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else {
      MarkGone();
      return;
    }
  }
}

void Connection::FlushUntil(Clock::time_point deadline) {
  while (WantsWrite() && Clock::now() < deadline) {
    pollfd p{pipe_.to(), POLLOUT, 0};
    poll(&p, 1, static_cast<int>(MsUntil(deadline)));
    Flush();
  }
}

void Connection::ReadAvailable() {
  char buf[1 << 16];
  while (pipe_.from() >= 0) {
    ssize_t n = read(pipe_.from(), buf, sizeof buf);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
      if (n < static_cast<ssize_t>(sizeof buf)) break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      pipe_.CloseFrom();
      MarkGone();
      break;
    }
  }
}

void Connection::Dispatch(const char* data, size_t size) {
  TraceMessage("< ", data, size);
  Json msg = ParseProtocolMessage(data, size);
  if (!msg.is_object()) {
    EngineLog("unreadable message from the browser");
    return;
  }
  auto id = msg.find("id");
  if (id != msg.end()) {
    auto it = pending_.find(id->is_number_integer() ? id->get<int>() : 0);
    if (it == pending_.end()) return;
    ReplyFn fn = std::move(it->second);
    pending_.erase(it);
    fn(msg);
    return;
  }
  static const Json kNoParams = Json::object();
  auto params = msg.find("params");
  if (onEvent_)
    onEvent_(msg.value("sessionId", ""), msg.value("method", ""), params != msg.end() ? *params : kNoParams);
}

void Connection::DispatchBuffered(const std::function<bool()>& stop) {
  size_t start = 0;
  while (!stop()) {
    size_t end = in_.find('\0', start);
    if (end == std::string::npos) break;
    std::string one = in_.substr(start, end - start);
    start = end + 1;
    Dispatch(one.data(), one.size());
  }
  in_.erase(0, start);
}

bool Connection::AwaitReply(int id, Clock::time_point deadline) {
  auto answered = [&] { return pending_.find(id) == pending_.end(); };
  while (!answered()) {
    DispatchBuffered(answered);
    if (answered()) break;
    if (gone_ || pipe_.from() < 0 || Clock::now() >= deadline) return false;
    pollfd p[2] = {{pipe_.from(), POLLIN, 0}, {pipe_.to(), POLLOUT, 0}};
    poll(p, WantsWrite() ? 2 : 1, static_cast<int>(MsUntil(deadline)));
    if (WantsWrite()) Flush();
    ReadAvailable();
  }
  return true;
}

}  // namespace engine
