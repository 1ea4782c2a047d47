// The client's state machine against the fake engine. Each script in
// data/scripts.json plays the engine's side step by step ("navigate",
// "answer", "advance", ...) and checks what the client did ("expect").
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "runlog/run_log.h"
#include "client/pdf_client.h"
#include "config/config_file.h"
#include "tests/client/fake_engine.h"
#include "tests/config/test_util.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
const fs::path kData = HVN_CLIENT_TEST_DATA;

struct Script {
  std::string name;
  json body;
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

std::vector<Script> LoadScripts() {
  std::vector<Script> out;
  const json all = json::parse(cfgtest::ReadFile(kData / "scripts.json"));
  for (auto& [name, body] : all.items()) out.push_back({name, body});
  return out;
}

class ClientScript : public testing::TestWithParam<Script> {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    // What the engine does when it closes the browser: without it the client,
    // the browser and the callbacks that hold both keep each other alive.
    if (client_) client_->OnBeforeClose(browser_);
    browser_->printCallback.reset();
  }

  void Step(const json& step) {
    const std::string op = step[0];
    auto frame = browser_->frame;
    if (op == "start") {
      ConversionSettings s;
      json settings = {{"conversionDelay", 0}, {"lazyImagesLoadingEnabled", false}};
      settings.update(GetParam().body.value("settings", json::object()));
      RunLog log;
      ASSERT_TRUE(ApplyConfigurationBytes(settings.dump(), "script", false, s, log));
      s.output = dir_.File("out." + s.outputFormat);
      log.SetLogFilePath(dir_.File("run.log"));
      client_ = std::make_shared<PdfClient>(s, log);
      client_->targetUrl = frame->url = "http://127.0.0.1:1/page";
      client_->directMode = true;
      client_->OnAfterCreated(browser_);
      client_->GetRenderHandler();
    } else if (op == "navigate" || op == "beforeBrowse") {
      frame->url = step[1];
      client_->OnBeforeBrowse(browser_, frame, frame->url, false, false);
      if (op == "navigate") Step(json::array({"loadStart"})), Step(json::array({"loadEnd", step[2]}));
    } else if (op == "loadStart") {
      client_->OnLoadStart(browser_, frame);
    } else if (op == "loadEnd") {
      client_->OnLoadEnd(browser_, frame, step[1]);
    } else if (op == "loadingStopped") {
      client_->OnLoadingStateChange(browser_, false, false, false);
    } else if (op == "loadError") {
      auto f = std::make_shared<fake::Frame>();
      f->main = step.size() < 5;
      client_->OnLoadError(browser_, f, step[1], step[2], step[3]);
    } else if (op == "crash") {
      client_->OnRenderProcessTerminated(browser_, engine::TerminationStatus::ProcessCrashed, 11, "x");
    } else if (op == "fail") {
      client_->FailConversion(step[1]);
    } else if (op == "finish") {
      client_->FinishSuccess();
    } else if (op == "navigationTimeout") {
      client_->OnNavigationTimeout();
    } else if (op == "advance") {
      fake::Advance(step[1]);
    } else if (op == "answer" || op == "reply") {
      // "answer" gives the newest evaluation its value; "reply" sends a
      // method's newest call the raw result.
      const fake::Call* c = browser_->Last(op == "answer" ? "Runtime.evaluate" : step[1].get<std::string>());
      ASSERT_NE(c, nullptr);
      browser_->Reply(c->id, op == "answer" ? json{{"result", {{"type", "object"}, {"value", step[1]}}}} : step[2]);
    } else if (op == "print") {
      ASSERT_EQ(browser_->prints, 1);
      cfgtest::WriteFile(browser_->printPath, cfgtest::ReadFile(kData / step[1].get<std::string>()));
      browser_->printCallback->OnPdfPrintFinished(browser_->printPath, true);
    } else if (op == "request") {  // url, navigation?, the headers it leaves with (null: not handled)
      auto request = std::make_shared<fake::Request>();
      request->url = step[1];
      auto handler = client_->GetResourceRequestHandler(browser_, frame, request, step[2]);
      if (handler) handler->OnBeforeResourceLoad(browser_, frame, request, nullptr);
      EXPECT_EQ(handler ? json(request->headers) : json(), step[3]);
    } else if (op == "auth") {  // a server's (false) or a proxy's (true) login challenge
      struct Answer : engine::AuthCallback {
        void Continue(const std::string& user, const std::string& password) override { got = user + "/" + password; }
        void Cancel() override { got = "cancel"; }
        std::string got;
      };
      auto cb = std::make_shared<Answer>();
      const bool taken = client_->GetAuthCredentials(browser_, "http://h/", step[1], "h", 80, "r", "basic", cb);
      EXPECT_EQ(taken ? cb->got : "", step[2]);
    } else if (op == "expect") {
      Expect(step[1]);
    } else {
      FAIL() << "unknown step " << op;
    }
  }

  void Expect(const json& want) {
    const json state = {
        {"error", client_->errorMessage()},   {"finished", client_->finished()},
        {"success", client_->success()},      {"prints", browser_->prints},
        {"stopLoads", browser_->stopLoads},   {"quits", fake::Quits()},
        {"pipelineStarted", client_->pipelineStarted()},
        {"scale", browser_->printSettings.scale},
        {"contentEndPage", client_->contentEndPage},
        {"contentEndCut", client_->contentEndCut},
        {"contentEndInkEnd", client_->contentEndInkEnd},
        {"contentEndInkError", client_->contentEndInkError},
        {"contentHeightPx", client_->contentHeightPx},
        {"lazyScroll", client_->lazyScroll},
        {"viewHeight", client_->GetRenderHandler()->GetViewRect().height},
    };
    for (auto& [key, value] : want.items()) {
      if (key == "calls") {
        for (auto& [method, n] : value.items())
          EXPECT_EQ(std::count_if(browser_->calls.begin(), browser_->calls.end(),
                                  [&](const fake::Call& c) { return c.method == method; }),
                    n.get<int>())
              << method;
      } else if (key == "files") {
        // A file's exact text, or null: not written.
        for (auto& [name, text] : value.items())
          EXPECT_EQ(fs::exists(dir_.File(name)) ? json(cfgtest::ReadFile(dir_.File(name))) : json(), text) << name;
      } else if (key == "log") {  // lines of the run log, in this order
        const std::string log = cfgtest::ReadFile(dir_.File("run.log"));
        size_t at = 0;
        for (const json& line : value) {
          at = log.find(line.get<std::string>(), at);
          ASSERT_NE(at, std::string::npos) << line << " not in\n" << log;
        }
      } else if (value.is_number_float()) {
        EXPECT_NEAR(state.at(key).get<double>(), value.get<double>(), 1e-6) << key;
      } else {
        EXPECT_EQ(state.at(key), value) << key;
      }
    }
  }

  cfgtest::TempDir dir_;
  std::shared_ptr<fake::Browser> browser_ = std::make_shared<fake::Browser>();
  std::shared_ptr<PdfClient> client_;
};

TEST_P(ClientScript, Runs) {
  for (const json& step : GetParam().body.at("steps")) {
    SCOPED_TRACE(step.dump());
    ASSERT_NO_FATAL_FAILURE(Step(step));
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ClientScript, testing::ValuesIn(LoadScripts()),
                         [](const testing::TestParamInfo<Script>& info) { return info.param.name; });

}  // namespace
