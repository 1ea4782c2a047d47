// A scripted stand-in for the browser engine: records what the client asks
// for and lets a test play the engine's side (callbacks, DevTools replies,
// timers on a virtual clock).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "client/pdf_client.h"
#include "engine/engine.h"
#include "tests/config/test_util.h"

namespace fake {

struct DevToolsCall {
  int id;
  std::string method;
  engine::Json params;
};

class FakeFrame : public engine::Frame {
 public:
  bool IsMain() const override { return main; }
  std::string GetURL() const override { return url; }
  void LoadURL(const std::string&) override {}
  void ExecuteJavaScript(const std::string&, const std::string&, int) override {}
  bool main = true;
  std::string url = "about:blank";
};

class FakeBrowser : public engine::Browser, public std::enable_shared_from_this<FakeBrowser> {
 public:
  int GetIdentifier() const override { return 1; }
  std::shared_ptr<engine::Frame> GetMainFrame() override { return frame; }
  void StopLoad() override { ++stopLoads; }
  int ExecuteDevToolsMethod(int id, const std::string& method, const engine::Json& params) override {
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
  void WasResized() override {}

  // Delivers a reply to the observers whose registrations are still alive.
  void Reply(int id, bool success, const std::string& result);
  // Last call with the method (nullptr when none).
  const DevToolsCall* Last(const std::string& method) const;
  int Count(const std::string& method) const;

  std::shared_ptr<FakeFrame> frame = std::make_shared<FakeFrame>();
  std::vector<DevToolsCall> calls;
  std::vector<std::weak_ptr<engine::DevToolsMessageObserver>> observers;
  engine::PdfPrintSettings printSettings;
  std::string printPath;
  std::shared_ptr<engine::PdfPrintCallback> printCallback;
  int prints = 0, stopLoads = 0;
};

void Reset();
// Runs posted tasks and timers up to now + ms of virtual time.
void Advance(int64_t ms);
int QuitCount();

// One client run against a fresh fake browser, writing into a scratch folder.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    dir = std::filesystem::temp_directory_path() / ("hvn_client_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    s.output = (dir / "out.pdf").string();
    s.conversionDelay = 0;
    s.lazyImagesLoadingEnabled = false;
  }
  void TearDown() override {
    Close();
    std::filesystem::remove_all(dir);
  }
  // What the engine does when it closes the browser: without it the client,
  // the browser and the callbacks that hold both keep each other alive.
  void Close() {
    if (client) client->OnBeforeClose(browser);
    browser->printCallback.reset();
  }
  // A second run in the same test.
  void Restart() {
    Close();
    Reset();
    client.reset();
    browser = std::make_shared<FakeBrowser>();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void Start(bool direct = true) {
    client = std::make_shared<PdfClient>(s);
    client->targetUrl = "http://127.0.0.1:1/page";
    client->directMode = direct;
    browser->frame->url = client->targetUrl;
    client->OnAfterCreated(browser);
    client->GetRenderHandler();
  }
  void Navigate(const std::string& url, int status) {
    browser->frame->url = url;
    client->OnBeforeBrowse(browser, browser->frame, url, false, false);
    client->OnLoadStart(browser, browser->frame);
    client->OnLoadEnd(browser, browser->frame, status);
  }
  // Answers the newest Runtime.evaluate with value.
  void Answer(const nlohmann::json& value) {
    const DevToolsCall* c = browser->Last("Runtime.evaluate");
    ASSERT_NE(c, nullptr);
    browser->Reply(c->id, true, nlohmann::json{{"result", {{"type", "object"}, {"value", value}}}}.dump());
  }
  std::string Read(const std::string& name) { return cfgtest::ReadFile(dir / name); }

  ConversionSettings s;
  std::filesystem::path dir;
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  std::shared_ptr<PdfClient> client;
};

}  // namespace fake
