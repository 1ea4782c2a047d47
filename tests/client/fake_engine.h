// A scripted stand-in for the browser engine: records what the client asks
// for and lets a test play the engine's side (callbacks, DevTools replies,
// timers on a virtual clock).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace fake {

struct DevToolsCall {
  int id;
  std::string method;
  nlohmann::json params;
};

class FakeFrame : public engine::Frame {
 public:
  bool IsMain() const override { return main; }
  std::string GetURL() const override { return url; }
  void LoadURL(const std::string& u) override { loads.push_back(u); }
  void ExecuteJavaScript(const std::string& code, const std::string&, int) override { scripts.push_back(code); }
  bool main = true;
  std::string url = "about:blank";
  std::vector<std::string> loads;
  std::vector<std::string> scripts;
};

class FakeBrowser : public engine::Browser, public std::enable_shared_from_this<FakeBrowser> {
 public:
  int GetIdentifier() const override { return 1; }
  std::shared_ptr<engine::Frame> GetMainFrame() override { return frame; }
  void StopLoad() override { ++stopLoads; }
  int ExecuteDevToolsMethod(int id, const std::string& method, const nlohmann::json& params) override {
    calls.push_back({id, method, params});
    return id;
  }
  std::shared_ptr<engine::Registration> AddDevToolsMessageObserver(
      std::shared_ptr<engine::DevToolsMessageObserver> observer) override;
  void PrintToPDF(const std::string& path, const engine::PdfPrintSettings& s,
                  std::shared_ptr<engine::PdfPrintCallback> cb) override {
    printPath = path;
    printSettings = s;
    printCallback = cb;
    ++prints;
  }
  void WasResized() override { ++resizes; }
  void CloseBrowser(bool) override {}

  // Delivers a reply to the observers registered now; returns false when
  // the call id has no registered observer.
  void Reply(int id, bool success, const std::string& result);
  // Last call with the method (nullptr when none).
  const DevToolsCall* Last(const std::string& method) const;
  int Count(const std::string& method) const;

  std::shared_ptr<FakeFrame> frame = std::make_shared<FakeFrame>();
  std::vector<DevToolsCall> calls;
  std::vector<std::weak_ptr<engine::DevToolsMessageObserver>> observers;
  std::string printPath;
  engine::PdfPrintSettings printSettings;
  std::shared_ptr<engine::PdfPrintCallback> printCallback;
  int prints = 0, resizes = 0, stopLoads = 0;
};

// Engine globals.
void Reset();
// Runs posted tasks and timers up to now + ms of virtual time.
void Advance(int64_t ms);
// Runs tasks that are due now.
inline void RunPending() { Advance(0); }
int QuitCount();
int64_t Now();

}  // namespace fake
