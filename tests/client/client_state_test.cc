#include <gtest/gtest.h>

#include "tests/client/fake_engine.h"

namespace {

using ClientTest = fake::ClientFixture;

TEST_F(ClientTest, ScaleIsClampedToEngineRange) {
  struct Case {
    int scale, viewport;
    double margins, expected;
  } const cases[] = {
      {0, 1024, 0, 0.775104}, {150, 1024, 0, 1.5}, {250, 1024, 0, 2.0},
      {5, 1024, 0, 0.1},      {0, 100, 0, 2.0},    {0, 1024, 290, 0.1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "scale " << c.scale << " viewport " << c.viewport << " margins " << c.margins);
    Restart();
    s.scale = c.scale;
    s.viewportWidth = c.viewport;
    s.marginLeft = s.marginRight = c.margins;
    Start();
    Navigate(client->targetUrl, 200);
    Answer(100000);  // taller than the page at any scale: no shortening
    ASSERT_EQ(browser->prints, 1);
    EXPECT_NEAR(browser->printSettings.scale, c.expected, 1e-4);
  }
}

TEST_F(ClientTest, HttpStatusFromFourHundredFails) {
  const std::pair<int, std::string> cases[] = {
      {0, ""},  // file and data URLs report no status
      {399, ""},
      {404, "HTTP error 404 Not Found for URL: http://h/x"},
      {418, "HTTP error 418 Unknown for URL: http://h/x"},
  };
  for (const auto& [status, message] : cases) {
    SCOPED_TRACE(status);
    Restart();
    Start();
    Navigate("http://h/x", status);
    EXPECT_EQ(client->errorMessage(), message);
    EXPECT_EQ(client->finished(), !message.empty());
    EXPECT_EQ(browser->Count("Runtime.evaluate") > 0, message.empty());
    EXPECT_EQ(Read("out.json"), message.empty() ? "" : "{\n  \"error\": \"" + message + "\"\n}");
  }
}

TEST_F(ClientTest, LoadErrorsFailExceptAbortedAndSubframes) {
  Start();
  client->OnLoadError(browser, browser->frame, -3, "net::ERR_ABORTED", "http://a/");
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

  Restart();
  Start();
  client->FinishSuccess();
  client->FailConversion("late timer");
  EXPECT_TRUE(client->success());
  EXPECT_EQ(client->errorMessage(), "");
  EXPECT_EQ(fake::QuitCount(), 1);
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
  Navigate("http://h/second", 200);  // loaded while the old run waits: restart pending
  fake::Advance(500);                // the old stage sees the change and posts the restart
  fake::Advance(0);
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 2);
  fake::Advance(500);  // the new run's delay
  Answer(100);
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

  Restart();
  s.renderOnTimeout = true;
  Start();
  client->OnNavigationTimeout();
  EXPECT_FALSE(client->finished());
  EXPECT_EQ(browser->stopLoads, 1);
  EXPECT_EQ(browser->Count("Emulation.setEmulatedMedia"), 1);
  Answer(100);
  EXPECT_EQ(browser->prints, 1);
}

TEST_F(ClientTest, ConversionTimeoutUsesLargestBound) {
  s.navigationTimeout = 1000;
  s.printTimeout = 70000;
  Start();
  Navigate(client->targetUrl, 200);  // max(navigation + 60000, print) = 70000
  fake::Advance(69999);
  EXPECT_FALSE(client->finished());
  fake::Advance(1);
  EXPECT_EQ(client->errorMessage(), "Conversion timeout after 70000ms.");
}

TEST_F(ClientTest, ScreenshotThatIsNotBase64FailsWithoutWritingTheImage) {
  s.outputFormat = "png";
  s.output = (dir / "out.png").string();
  Start();
  Navigate(client->targetUrl, 200);
  Answer(300);
  fake::Advance(200);
  const fake::DevToolsCall* shot = browser->Last("Page.captureScreenshot");
  ASSERT_NE(shot, nullptr);
  browser->Reply(shot->id, true, nlohmann::json{{"data", "iVBOR*w0KGgo"}}.dump());
  EXPECT_TRUE(client->finished());
  EXPECT_EQ(client->errorMessage(), "Page.captureScreenshot: image data is not valid base64.");
  EXPECT_FALSE(std::filesystem::exists(s.output));
}

}  // namespace
