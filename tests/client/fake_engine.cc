#include "tests/client/fake_engine.h"

#include <functional>
#include <tuple>

namespace fake {
namespace {

struct Timer {
  int64_t due;
  uint64_t seq;
  std::function<void()> task;
};
int64_t gNow = 0;
uint64_t gSeq = 0;
std::vector<Timer> gTimers;
int gQuits = 0;

}  // namespace

void Reset() {
  gNow = 0;
  gTimers.clear();
  gQuits = 0;
}

void Advance(int64_t ms) {
  const int64_t end = gNow + ms;
  for (;;) {
    auto it = std::min_element(gTimers.begin(), gTimers.end(), [](const Timer& a, const Timer& b) {
      return std::tie(a.due, a.seq) < std::tie(b.due, b.seq);
    });
    if (it == gTimers.end() || it->due > end) break;
    Timer t = std::move(*it);
    gTimers.erase(it);
    gNow = std::max(gNow, t.due);
    t.task();
  }
  gNow = end;
}

int Quits() { return gQuits; }

}  // namespace fake

namespace engine {

void PostTask(std::function<void()> task) { PostDelayedTask(std::move(task), 0); }
void PostDelayedTask(std::function<void()> task, int64_t delayMs) {
  fake::gTimers.push_back({fake::gNow + delayMs, fake::gSeq++, std::move(task)});
}
std::function<void(std::function<void()>)> CurrentTaskPoster() {
  return [](std::function<void()> task) { PostTask(std::move(task)); };
}
void QuitMessageLoop() { ++fake::gQuits; }
int ExecuteProcess(int, char**, std::shared_ptr<App>) { return -1; }
bool Initialize(const Settings&, std::shared_ptr<App>) { return true; }
std::shared_ptr<RequestContext> GetGlobalRequestContext() { return nullptr; }
bool CreateBrowser(const BrowserSettings&, std::shared_ptr<Client>, const std::string&, const ExtraInfo&) { return true; }
void RunMessageLoop() {}
void Shutdown() {}

}  // namespace engine
