// The service's connections: a bounded number served at once, and a
// deadline on reading each request, however slowly its bytes arrive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

class ConnectionSlots : public httplib::TaskQueue {
 public:
  // port: the listening port, whose accepted sockets are ours.
  ConnectionSlots(size_t slots, int port, std::chrono::seconds readDeadline);
  ~ConnectionSlots() override;
  // Waits while every slot is taken: the rest wait in the kernel's backlog.
  void enqueue(std::function<void()> fn) override;
  void shutdown() override;

  // The calling connection's request has been read / answered: its
  // deadline stops / starts again.
  static void RequestRead();
  static void RequestAnswered();
  // Runs action once the calling connection's answer is out (or the
  // connection ended without it); at once outside a connection.
  static void AfterAnswer(std::function<void()> action);
  // Ends the connections still reading a request, of the slots alive (the
  // service stops).
  static void EndReading();

 private:
  struct Connection {
    int fd = -1;
    unsigned long inode = 0;  // tells the socket from a later one on the same fd
    std::atomic<bool> reading{true};
    std::atomic<int64_t> sinceMs{0};  // steady clock
    std::function<void()> afterAnswer;  // the connection's own thread only
  };
  void Serve();
  void Watch();
  std::shared_ptr<Connection> FindAccepted();
  void ShutDownIfStill(const Connection& c);

  size_t max_, busy_ = 0;
  int port_;
  std::chrono::seconds deadline_;
  bool closed_ = false;
  std::mutex mu_;
  std::condition_variable ready_, room_, watchWake_;
  std::deque<std::pair<std::function<void()>, std::shared_ptr<Connection>>> waiting_;
  std::vector<std::shared_ptr<Connection>> open_;
  std::vector<std::thread> threads_;
  std::thread watcher_;
};
