// A stand-in for the browser engine: records what the client asks for and
// runs posted tasks on a virtual clock, so a test plays the engine's side.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace fake {

struct Call {
  int id;
  std::string method;
};

struct Frame : engine::Frame {
  bool IsMain() const override { return main; }
  std::string GetURL() const override { return url; }
  void LoadURL(const std::string&) override {}
  void ExecuteJavaScript(const std::string&, const std::string&, int) override {}
  bool main = true;
  std::string url = "about:blank";
};

struct Request : engine::Request {
  std::string GetURL() const override { return url; }
  bool IsReadOnly() const override { return false; }
  HeaderMap GetHeaderMap() const override { return headers; }
  void SetHeaderMap(const HeaderMap& h) override { headers = h; }
  std::string url;
  HeaderMap headers = {{"Accept", "*/*"}};
};

// Owns the observer: the browser sees it only while the registration lives,
// as with a real engine.
struct Registration : engine::Registration {
  std::shared_ptr<engine::DevToolsMessageObserver> observer;
};

struct Browser : engine::Browser, std::enable_shared_from_this<Browser> {
  int GetIdentifier() const override { return 1; }
  std::shared_ptr<engine::Frame> GetMainFrame() override { return frame; }
  void StopLoad() override { ++stopLoads; }
  int ExecuteDevToolsMethod(int id, const std::string& method, const engine::Json&) override {
    calls.push_back({id, method});
    return id;
  }
  std::shared_ptr<engine::Registration> AddDevToolsMessageObserver(
      std::shared_ptr<engine::DevToolsMessageObserver> o) override {
    auto reg = std::make_shared<Registration>();
    reg->observer = o;
    observers.push_back(o);
    return reg;
  }
  void PrintToPDF(const std::string& path, const engine::PdfPrintSettings& s,
                  std::shared_ptr<engine::PdfPrintCallback> cb) override {
    printPath = path;
    printSettings = s;
    printCallback = cb;
    ++prints;
  }
  void WasResized() override {}

  // The newest call of method, or nullptr.
  const Call* Last(const std::string& method) const {
    auto it = std::find_if(calls.rbegin(), calls.rend(), [&](const Call& c) { return c.method == method; });
    return it == calls.rend() ? nullptr : &*it;
  }
  // Answers call id to every observer still registered.
  void Reply(int id, const engine::Json& result) {
    std::vector<std::shared_ptr<engine::DevToolsMessageObserver>> live;
    for (auto& w : observers)
      if (auto o = w.lock()) live.push_back(o);
    observers.assign(live.begin(), live.end());
    for (auto& o : live) o->OnDevToolsMethodResult(shared_from_this(), id, true, result);
  }

  std::shared_ptr<Frame> frame = std::make_shared<Frame>();
  std::vector<Call> calls;
  std::vector<std::weak_ptr<engine::DevToolsMessageObserver>> observers;
  engine::PdfPrintSettings printSettings;
  std::string printPath;
  std::shared_ptr<engine::PdfPrintCallback> printCallback;
  int prints = 0, stopLoads = 0;
};

// Clears the clock and the quit count.
void Reset();
// Runs posted tasks due up to now + ms.
void Advance(int64_t ms);
int Quits();

}  // namespace fake
