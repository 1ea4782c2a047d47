#include "app/browser_pool.h"

#include "app/run_folders.h"

std::unique_ptr<BrowserPool::Browser> BrowserPool::Remove(Browser* b) {
  for (auto it = browsers_.begin(); it != browsers_.end(); ++it) {
    if (it->get() != b) continue;
    std::unique_ptr<Browser> out = std::move(*it);
    browsers_.erase(it);
    return out;
  }
  return nullptr;
}

void BrowserPool::Stop(Browser& b) {
  if (!b.engine) return;
  engine::MakeCurrent(b.engine);
  StopBrowser(b.launched, RunLog(), false);
  engine::MakeCurrent(nullptr);
}

BrowserPool::Lease BrowserPool::Take(const std::string& key, const LaunchRecord& record,
                                     const std::vector<std::string>& args, const RunLog& log) {
  std::vector<std::unique_ptr<Browser>> closing;
  Browser* fresh = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (;;) {
      Browser* found = nullptr;
      for (auto& b : browsers_)
        if (!b->busy && b->key == key) found = b.get();
      if (!found) break;
      engine::MakeCurrent(found->engine);
      const bool alive = engine::BrowserAlive();
      engine::MakeCurrent(nullptr);
      if (alive) {
        found->busy = true;
        return found;
      }
      closing.push_back(Remove(found));
      ++restarts_;
    }
    while (browsers_.size() >= max_) {
      Browser* lru = nullptr;
      for (auto& b : browsers_)
        if (!b->busy && (!lru || b->lastUse < lru->lastUse)) lru = b.get();
      if (!lru) break;
      closing.push_back(Remove(lru));
    }
    browsers_.push_back(std::make_unique<Browser>());
    fresh = browsers_.back().get();
    fresh->key = key;
    fresh->busy = true;
  }
  for (auto& b : closing) Stop(*b);

  fresh->engine = engine::NewEngine();
  engine::MakeCurrent(fresh->engine);
  LaunchOptions options;
  options.browserArgs = &args;
  options.handleSignals = false;
  options.manyJobs = true;
  const bool started = LaunchBrowser(record, log, options, fresh->launched);
  if (!started) {
    engine::Shutdown();
    if (!fresh->launched.keptProfile) RemoveRunFolder(fresh->launched.cacheDir);
    if (!fresh->launched.logDir.empty()) RemoveRunFolder(fresh->launched.logDir);
  }
  engine::MakeCurrent(nullptr);
  lastLaunchOk_ = started;
  if (started) return fresh;
  std::lock_guard<std::mutex> lock(mu_);
  Remove(fresh);
  return nullptr;
}

void BrowserPool::Give(Lease lease, bool retire) {
  std::unique_ptr<Browser> closing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lease->busy = false;
    lease->lastUse = ++clock_;
    if (retire) {
      closing = Remove(lease);
      ++restarts_;
    }
  }
  if (closing) Stop(*closing);
}

void BrowserPool::RetireAll() {
  std::vector<std::unique_ptr<Browser>> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(browsers_);
  }
  for (auto& b : all) Stop(*b);
}
