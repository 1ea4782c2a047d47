#include "app/service_connections.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

namespace {

thread_local std::shared_ptr<void> tConnection;
std::mutex gLiveMutex;
ConnectionSlots* gLive = nullptr;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

unsigned long SocketInode(int fd) {
  char link[64];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
  if (n <= 0) return 0;
  link[n] = '\0';
  const std::string text(link);
  if (text.rfind("socket:[", 0) != 0) return 0;
  return std::strtoul(text.c_str() + 8, nullptr, 10);
}

int LocalPort(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return -1;
}

bool Listening(int fd) {
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on;
}

}  // namespace

ConnectionSlots::ConnectionSlots(size_t slots, int port, std::chrono::seconds readDeadline)
    : max_(slots), port_(port), deadline_(readDeadline) {
  for (size_t i = 0; i < slots; ++i) threads_.emplace_back([this] { Serve(); });
  watcher_ = std::thread([this] { Watch(); });
  std::lock_guard<std::mutex> lock(gLiveMutex);
  gLive = this;
}

ConnectionSlots::~ConnectionSlots() {
  {
    std::lock_guard<std::mutex> lock(gLiveMutex);
    if (gLive == this) gLive = nullptr;
  }
  shutdown();
}

// The library hands over a task, not its socket: the socket is the one of
// our port that no connection holds yet. Called on the accepting thread
// right after the accept, so no later one exists yet.
std::shared_ptr<ConnectionSlots::Connection> ConnectionSlots::FindAccepted() {
  auto found = std::make_shared<Connection>();
  found->sinceMs = NowMs();
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    const unsigned long inode = SocketInode(fd);
    if (!inode || LocalPort(fd) != port_ || Listening(fd)) continue;
    if (std::any_of(open_.begin(), open_.end(), [&](const auto& c) { return c->inode == inode; })) continue;
    found->fd = fd;
    found->inode = inode;
    break;
  }
  closedir(dir);
  return found;
}

void ConnectionSlots::enqueue(std::function<void()> fn) {
  std::unique_lock<std::mutex> lock(mu_);
  room_.wait(lock, [&] { return closed_ || busy_ + waiting_.size() < max_; });
  auto connection = FindAccepted();
  open_.push_back(connection);
  waiting_.emplace_back(std::move(fn), connection);
  ready_.notify_one();
}

void ConnectionSlots::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ && threads_.empty()) return;
    closed_ = true;
  }
  ready_.notify_all();
  room_.notify_all();
  watchWake_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  if (watcher_.joinable()) watcher_.join();
}

void ConnectionSlots::Serve() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    ready_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    auto [fn, connection] = std::move(waiting_.front());
    waiting_.pop_front();
    ++busy_;
    lock.unlock();
    tConnection = connection;
    fn();
    tConnection.reset();
    if (connection->afterAnswer) std::exchange(connection->afterAnswer, nullptr)();
    lock.lock();
    open_.erase(std::remove(open_.begin(), open_.end(), connection), open_.end());
    --busy_;
    room_.notify_one();
  }
}

void ConnectionSlots::RequestRead() {
  if (auto c = std::static_pointer_cast<Connection>(tConnection)) c->reading = false;
}

void ConnectionSlots::AfterAnswer(std::function<void()> action) {
  auto c = std::static_pointer_cast<Connection>(tConnection);
  if (!c) return action();
  if (c->afterAnswer) std::exchange(c->afterAnswer, nullptr)();
  c->afterAnswer = std::move(action);
}

void ConnectionSlots::RequestAnswered() {
  if (auto c = std::static_pointer_cast<Connection>(tConnection)) {
    if (c->afterAnswer) std::exchange(c->afterAnswer, nullptr)();
    c->sinceMs = NowMs();
    c->reading = true;
  }
}

// Shut down, not closed: the fd stays the library's to close. The inode
// check keeps a later socket on a reused fd out of it.
void ConnectionSlots::ShutDownIfStill(const Connection& c) {
  if (c.fd >= 0 && SocketInode(c.fd) == c.inode) ::shutdown(c.fd, SHUT_RDWR);
}

void ConnectionSlots::EndReading() {
  std::lock_guard<std::mutex> live(gLiveMutex);
  if (!gLive) return;
  std::lock_guard<std::mutex> lock(gLive->mu_);
  for (const auto& c : gLive->open_)
    if (c->reading) gLive->ShutDownIfStill(*c);
}

void ConnectionSlots::Watch() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!closed_) {
    watchWake_.wait_for(lock, std::chrono::seconds(1));
    const int64_t now = NowMs();
    for (const auto& c : open_)
      if (c->reading && now - c->sinceMs > deadline_.count() * 1000) ShutDownIfStill(*c);
  }
}
