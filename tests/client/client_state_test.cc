#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client/pdf_client.h"
#include "tests/client/fake_engine.h"

namespace {

std::string Value(const nlohmann::json& v) { return nlohmann::json{{"result", {{"type", "x"}, {"value", v}}}}.dump(); }

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    dir = std::filesystem::temp_directory_path() / ("hvn_client_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    s.output = (dir / "out.pdf").string();
    s.conversionDelay = 0;
    s.lazyImagesLoadingEnabled = false;
  }
  void TearDown() override {
    ReleaseEngineReferences();
    std::filesystem::remove_all(dir);
  }
  // What the engine does when it closes the browser: without it the client,
  // the browser and the callbacks that hold both keep each other alive.
  void ReleaseEngineReferences() {
    if (client) client->OnBeforeClose(browser);
    browser->printCallback.reset();
  }

  void Start(bool direct = true) {
    client = std::make_shared<PdfClient>(s);
    client->targetUrl = "http://127.0.0.1:1/page";
    client->directMode = direct;
    browser->frame->url = client->targetUrl;
    client->OnAfterCreated(browser);
  }
  void Navigate(const std::string& url, int status) {
    browser->frame->url = url;
    client->OnBeforeBrowse(browser, browser->frame, url, false, false);
    client->OnLoadStart(browser, browser->frame);
    client->OnLoadEnd(browser, browser->frame, status);
  }
  // Answers the newest Runtime.evaluate with value.
  void AnswerEval(const nlohmann::json& v) {
    const fake::DevToolsCall* c = browser->Last("Runtime.evaluate");
    ASSERT_NE(c, nullptr);
    browser->Reply(c->id, true, Value(v));
  }
  std::string ReadJson() {
    std::ifstream in(dir / "out.json");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ConversionSettings s;
  std::filesystem::path dir;
  std::shared_ptr<fake::FakeBrowser> browser = std::make_shared<fake::FakeBrowser>();
  std::shared_ptr<PdfClient> client;
};

TEST_F(ClientTest, DirectRunPrintsShortPageAndSucceeds) {
  s.scale = 100;
  Start();
  EXPECT_EQ(browser->Count("Page.enable"), 1);
  EXPECT_EQ(browser->Count("Page.addScriptToEvaluateOnNewDocument"), 0);
  Navigate(client->targetUrl, 200);
  ASSERT_NE(browser->Last("Emulation.setEmulatedMedia"), nullptr);
  EXPECT_EQ(browser->Last("Emulation.setEmulatedMedia")->params["media"], "screen");
  AnswerEval(300);  // height measurement
  ASSERT_EQ(browser->prints, 1);
  EXPECT_TRUE(client->outputStarted());
  EXPECT_DOUBLE_EQ(browser->printSettings.scale, 1.0);
  EXPECT_NEAR(browser->printSettings.paperHeight * 72, 225.75, 1e-9);
  EXPECT_NEAR(browser->printSettings.paperWidth * 72, 595.28, 1e-9);
  browser->printCallback->OnPdfPrintFinished(s.output, true);
  EXPECT_TRUE(client->success());
  EXPECT_TRUE(client->finished());
  EXPECT_EQ(fake::QuitCount(), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.json"));
}

struct ScaleCase {
  int scale;
  double paperWidth;
  double margins;
  int viewport;
  double expected;
};

class ScaleTest : public ClientTest, public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(ScaleTest, ScaleIsClampedToEngineRange) {
  const ScaleCase& c = GetParam();
  s.scale = c.scale;
  s.paperWidth = c.paperWidth;
  s.marginLeft = s.marginRight = c.margins;
  s.viewportWidth = c.viewport;
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(100000);  // taller than the page at any scale: no shortening
  ASSERT_EQ(browser->prints, 1);
  EXPECT_NEAR(browser->printSettings.scale, c.expected, 1e-4);
  EXPECT_NEAR(browser->printSettings.paperHeight * 72, 841.89, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScaleTest,
                         ::testing::Values(ScaleCase{0, 595.28, 0, 1024, 0.775104}, ScaleCase{250, 595.28, 0, 1024, 2.0},
                                           ScaleCase{5, 595.28, 0, 1024, 0.1}, ScaleCase{0, 595.28, 0, 100, 2.0},
                                           ScaleCase{0, 595.28, 290, 1024, 0.1}, ScaleCase{150, 595.28, 0, 1024, 1.5}));

TEST_F(ClientTest, NoShorteningWithFixedViewportUnlessCutAllowed) {
  s.viewportHeight = 768;
  s.allowPdfCut = false;
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(300);
  EXPECT_NEAR(browser->printSettings.paperHeight * 72, 841.89, 1e-9);
}

TEST_F(ClientTest, LandscapeShortensTheWidthAndTagsAndRanges) {
  s.landscape = true;
  s.scale = 100;
  s.tagged = true;
  s.pageRanges = "1-2";
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(100);
  EXPECT_TRUE(browser->printSettings.landscape);
  EXPECT_NEAR(browser->printSettings.paperWidth * 72, 75.75, 1e-9);
  EXPECT_TRUE(browser->printSettings.generateTaggedPdf);
  EXPECT_TRUE(browser->printSettings.generateDocumentOutline);
  EXPECT_EQ(browser->printSettings.pageRanges, "1-2");
}

struct StatusCase {
  int status;
  std::string message;
};
class HttpStatusTest : public ClientTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(HttpStatusTest, ErrorStatusFailsWithReasonText) {
  Start();
  Navigate("http://h/x", GetParam().status);
  EXPECT_TRUE(client->finished());
  EXPECT_FALSE(client->success());
  EXPECT_EQ(client->errorMessage(), GetParam().message);
  EXPECT_EQ(browser->prints, 0);
  EXPECT_EQ(ReadJson(), "{\n  \"error\": \"" + GetParam().message + "\"\n}");
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpStatusTest,
                         ::testing::Values(StatusCase{404, "HTTP error 404 Not Found for URL: http://h/x"},
                                           StatusCase{418, "HTTP error 418 Unknown for URL: http://h/x"},
                                           StatusCase{503, "HTTP error 503 Service Unavailable for URL: http://h/x"}));

TEST_F(ClientTest, StatusZeroAndRedirectStatusesProceed) {
  Start();
  Navigate("file:///x.html", 0);
  EXPECT_FALSE(client->finished());
  EXPECT_NE(browser->Last("Runtime.evaluate"), nullptr);
}

TEST_F(ClientTest, LoadErrorsFailExceptAborted) {
  Start();
  client->OnLoadError(browser, browser->frame, -3, "net::ERR_ABORTED", "http://a/");
  EXPECT_FALSE(client->finished());
  auto sub = std::make_shared<fake::FakeFrame>();
  sub->main = false;
  client->OnLoadError(browser, sub, -102, "net::ERR_CONNECTION_REFUSED", "http://sub/");
  EXPECT_FALSE(client->finished());
  client->OnLoadError(browser, browser->frame, -105, "net::ERR_NAME_NOT_RESOLVED", "http://nowhere/");
  EXPECT_EQ(client->errorMessage(), "Load error -105 (net::ERR_NAME_NOT_RESOLVED) for URL: http://nowhere/");
}

TEST_F(ClientTest, FirstFailureWinsAndSuccessIsFinal) {
  Start();
  client->FailConversion("first");
  client->FailConversion("second");
  client->OnRenderProcessTerminated(browser, engine::TerminationStatus::ProcessCrashed, 11, "x");
  EXPECT_EQ(client->errorMessage(), "first");
  EXPECT_EQ(fake::QuitCount(), 1);

  fake::Reset();
  auto other = std::make_shared<PdfClient>(s);
  other->FinishSuccess();
  other->FailConversion("late timer");
  EXPECT_TRUE(other->success());
  EXPECT_EQ(other->errorMessage(), "");
}

TEST_F(ClientTest, RendererCrashMessage) {
  Start();
  client->OnRenderProcessTerminated(browser, engine::TerminationStatus::ProcessCrashed, -11, "crashed");
  EXPECT_EQ(client->errorMessage(), "Renderer process crashed (status=2 error=-11 crashed).");
}

TEST_F(ClientTest, PreloadModeNavigatesAfterBlankAndRegistersScript) {
  s.enableOfflineMode = true;
  Start(false);
  ASSERT_EQ(browser->calls.size(), 3u);
  EXPECT_EQ(browser->calls[0].method, "Page.enable");
  EXPECT_EQ(browser->calls[1].method, "Network.emulateNetworkConditions");
  EXPECT_EQ(browser->calls[2].method, "Page.addScriptToEvaluateOnNewDocument");
  EXPECT_NE(browser->calls[2].params["source"].get<std::string>().find("v26.4.0"), std::string::npos);
  Navigate("about:blank", 0);  // the preload itself
  ASSERT_EQ(browser->frame->loads.size(), 1u);
  EXPECT_EQ(browser->frame->loads[0], client->targetUrl);
  EXPECT_FALSE(client->pipelineStarted());
  Navigate(client->targetUrl, 200);
  EXPECT_TRUE(client->pipelineStarted());
}

TEST_F(ClientTest, PostFieldsSubmitInNameOrderThroughForm) {
  s.httpPostFields = {{"b", "2"}, {"a", "x\"y\n"}};
  Start(false);
  Navigate("about:blank", 0);
  ASSERT_EQ(browser->frame->scripts.size(), 1u);
  const std::string& js = browser->frame->scripts[0];
  EXPECT_LT(js.find("__i.name=\"a\""), js.find("__i.name=\"b\""));
  EXPECT_NE(js.find("__i.value=\"x\\\"y\\n\""), std::string::npos);
  EXPECT_NE(js.find("__f.submit();"), std::string::npos);
}

TEST_F(ClientTest, DeferredLoadEndRunsWhenLoadingStops) {
  Start();
  client->OnLoadStart(browser, browser->frame);
  client->OnBeforeBrowse(browser, browser->frame, "http://next/", false, false);
  client->OnLoadEnd(browser, browser->frame, 201);
  EXPECT_FALSE(client->pipelineStarted());
  client->OnLoadingStateChange(browser, false, false, false);
  EXPECT_TRUE(client->pipelineStarted());
  EXPECT_NE(browser->Last("Emulation.setEmulatedMedia"), nullptr);
}

TEST_F(ClientTest, ReplacedDocumentStopsPipelineAndRestarts) {
  s.conversionDelay = 500;
  Start();
  Navigate("http://h/first", 200);
  // The page replaces itself during the conversion delay.
  Navigate("http://h/second", 200);  // loaded while the old run waits: restart pending
  fake::Advance(500);                // the old stage sees the change and posts the restart
  fake::RunPending();
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 2);
  fake::Advance(500);  // the new run's delay
  AnswerEval(100);
  EXPECT_EQ(browser->prints, 1);
}

TEST_F(ClientTest, ReplacementAfterStopRestartsAtLoadEnd) {
  s.conversionDelay = 500;
  Start();
  Navigate("http://h/first", 200);
  client->OnBeforeBrowse(browser, browser->frame, "http://h/second", false, false);
  fake::Advance(500);  // stage stops: the navigation is pending
  EXPECT_EQ(browser->Count("Runtime.evaluate"), 0);
  client->OnLoadStart(browser, browser->frame);
  client->OnLoadEnd(browser, browser->frame, 200);
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 2);
  // The same document reporting load end again changes nothing.
  client->OnLoadEnd(browser, browser->frame, 200);
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 2);
}

TEST_F(ClientTest, NavigationTimeoutFailsOrRendersAsIs) {
  s.navigationTimeout = 1000;
  Start();
  client->OnNavigationTimeout();
  EXPECT_EQ(client->errorMessage(), "Navigation timeout after 1000ms.");

  fake::Reset();
  s.renderOnTimeout = true;
  browser = std::make_shared<fake::FakeBrowser>();
  Start();
  client->OnNavigationTimeout();
  EXPECT_FALSE(client->finished());
  EXPECT_EQ(browser->stopLoads, 1);
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 1);
  AnswerEval(100);
  EXPECT_EQ(browser->prints, 1);
}

TEST_F(ClientTest, ManualStartPollsUntilSignal) {
  s.startupModeManual = true;
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(false);
  fake::Advance(100);
  AnswerEval(false);
  fake::Advance(100);
  EXPECT_EQ(browser->Count("Runtime.evaluate"), 3);
  AnswerEval(true);
  AnswerEval(100);  // height measurement follows at once (no delay)
  EXPECT_EQ(browser->prints, 1);
}

TEST_F(ClientTest, ConversionTimeoutUsesLargestBound) {
  s.navigationTimeout = 1000;
  s.conversionDelay = 0;
  s.printTimeout = 70000;
  Start();
  Navigate(client->targetUrl, 200);  // arms max(max(0,1000)+60000, 70000) = 70000
  fake::Advance(69999);
  EXPECT_FALSE(client->finished());
  fake::Advance(1);
  EXPECT_EQ(client->errorMessage(), "Conversion timeout after 70000ms.");
}

TEST_F(ClientTest, LazyDecisionFollowsSignals) {
  s.lazyImagesLoadingEnabled = true;
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval({{"io", 0}, {"scroll", 0}, {"inert", 0}, {"lazyAttr", 0}, {"dataSrc", 0}, {"frames", 0}, {"scripts", 1}});
  EXPECT_EQ(client->lazyScroll, "skipped");

  ReleaseEngineReferences();
  fake::Reset();
  browser = std::make_shared<fake::FakeBrowser>();
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval({{"io", 0}, {"scroll", 0}, {"inert", 2}, {"lazyAttr", 3}, {"dataSrc", 0}, {"frames", 0}, {"scripts", 0}});
  EXPECT_EQ(client->lazyScroll, "eager");
  EXPECT_TRUE(browser->Last("Runtime.evaluate")->params.value("awaitPromise", false));

  ReleaseEngineReferences();
  fake::Reset();
  browser = std::make_shared<fake::FakeBrowser>();
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval({{"io", 1.7}, {"scroll", 0}});
  EXPECT_EQ(client->lazyScroll, "done");
}

struct ViewCase {
  std::string format;
  int viewportHeight;
  bool marker;
  int expected;
};
class ViewHeightTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ViewHeightTest, RenderHandlerHeight) {
  ConversionSettings s;
  s.outputFormat = GetParam().format;
  s.viewportHeight = GetParam().viewportHeight;
  s.contentEndMarker = GetParam().marker;
  PdfClient c(s);
  EXPECT_EQ(c.GetRenderHandler()->GetViewRect().height, GetParam().expected);
  EXPECT_EQ(c.GetRenderHandler()->GetViewRect().width, 1024);
}

INSTANTIATE_TEST_SUITE_P(Cases, ViewHeightTest,
                         ::testing::Values(ViewCase{"pdf", 0, false, 1}, ViewCase{"png", 0, true, 1},
                                           ViewCase{"pdf", 0, true, 1448}, ViewCase{"pdf", 700, true, 700}));

TEST_F(ClientTest, ConsoleMessagesAreWrittenAfterPrint) {
  Start();
  client->OnConsoleMessage(browser, engine::LogSeverity::Info, "hi", "http://h/a.js", 3);
  client->OnConsoleMessage(browser, engine::LogSeverity::Warning, "w", "", 0);
  Navigate(client->targetUrl, 200);
  AnswerEval(100);
  browser->printCallback->OnPdfPrintFinished(s.output, true);
  std::string json = ReadJson();
  EXPECT_NE(json.find("{\"level\":\"log\",\"message\":\"hi\",\"source\":\"http://h/a.js\",\"line\":3}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"level\":\"warn\""), std::string::npos);
}

TEST_F(ClientTest, ScreenshotThatIsNotBase64FailsWithoutWritingTheImage) {
  s.outputFormat = "png";
  s.output = (dir / "out.png").string();
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(300);  // page height
  fake::Advance(200);
  const fake::DevToolsCall* shot = browser->Last("Page.captureScreenshot");
  ASSERT_NE(shot, nullptr);
  browser->Reply(shot->id, true, nlohmann::json{{"data", "iVBOR*w0KGgo"}}.dump());
  EXPECT_TRUE(client->finished());
  EXPECT_FALSE(client->success());
  EXPECT_EQ(client->errorMessage(), "Page.captureScreenshot: image data is not valid base64.");
  EXPECT_FALSE(std::filesystem::exists(s.output));
}

TEST_F(ClientTest, PrintFailureNamesTheSystemError) {
  s.output = (dir / "missing" / "out.pdf").string();
  Start();
  Navigate(client->targetUrl, 200);
  AnswerEval(100);
  browser->printCallback->OnPdfPrintFinished(s.output, false);
  EXPECT_EQ(client->errorMessage(), "PrintToPDF failed for: " + s.output + " (No such file or directory)");
}

}  // namespace
