#include "tests/client/fake_engine.h"

#include <algorithm>

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

// Owns the observer: the browser sees it only while the registration lives,
// as with a real engine.
struct FakeRegistration : engine::Registration {
  explicit FakeRegistration(std::shared_ptr<engine::DevToolsMessageObserver> o) : observer(std::move(o)) {}
  std::shared_ptr<engine::DevToolsMessageObserver> observer;
};

}  // namespace

std::shared_ptr<engine::Registration> FakeBrowser::AddDevToolsMessageObserver(
    std::shared_ptr<engine::DevToolsMessageObserver> observer) {
  auto reg = std::make_shared<FakeRegistration>(observer);
  observers.push_back(reg->observer);
  return reg;
}

void FakeBrowser::Reply(int id, bool success, const std::string& result) {
  std::vector<std::shared_ptr<engine::DevToolsMessageObserver>> live;
  for (auto& w : observers)
    if (auto o = w.lock()) live.push_back(o);
  observers.assign(live.begin(), live.end());
  auto parsed = engine::Json::parse(result, nullptr, false);
  for (auto& o : live) o->OnDevToolsMethodResult(shared_from_this(), id, success, parsed);
}

const DevToolsCall* FakeBrowser::Last(const std::string& method) const {
  for (auto it = calls.rbegin(); it != calls.rend(); ++it)
    if (it->method == method) return &*it;
  return nullptr;
}

int FakeBrowser::Count(const std::string& method) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const DevToolsCall& c) { return c.method == method; }));
}

void Reset() {
  gNow = 0;
  gSeq = 0;
  gTimers.clear();
  gQuits = 0;
}

void Advance(int64_t ms) {
  const int64_t end = gNow + ms;
  for (;;) {
    auto it = std::min_element(gTimers.begin(), gTimers.end(), [](const Timer& a, const Timer& b) {
      return a.due != b.due ? a.due < b.due : a.seq < b.seq;
    });
    if (it == gTimers.end() || it->due > end) break;
    Timer t = std::move(*it);
    gTimers.erase(it);
    gNow = std::max(gNow, t.due);
    t.task();
  }
  gNow = end;
}

int QuitCount() { return gQuits; }

}  // namespace fake

namespace engine {

void PostTask(std::function<void()> task) { PostDelayedTask(std::move(task), 0); }
void PostDelayedTask(std::function<void()> task, int64_t delayMs) {
  fake::gTimers.push_back({fake::gNow + delayMs, fake::gSeq++, std::move(task)});
}
void QuitMessageLoop() { ++fake::gQuits; }
int ExecuteProcess(int, char**, std::shared_ptr<App>) { return -1; }
bool Initialize(const Settings&, std::shared_ptr<App>) { return true; }
std::shared_ptr<RequestContext> GetGlobalRequestContext() { return nullptr; }
bool CreateBrowser(const BrowserSettings&, std::shared_ptr<Client>, const std::string&, const ExtraInfo&) { return true; }
void RunMessageLoop() {}
void Shutdown() {}

}  // namespace engine
