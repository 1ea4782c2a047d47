// Page preparation, PNG capture, element anchors, bookmark links and the
// output JSON, against the real browser and pages served over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>

#include "client/markers.h"
#include "tests/support/e2e_support.h"

namespace {

using e2e::RunResult;
using e2e::TestServer;
using nlohmann::json;

// Automatic scale on A4 without margins at 1024 px: points per CSS px.
const double kPt = 595.28 / 72 * 96 / 1024 * 0.75;
const double kTol = 1.5;

class Preparation : public ::testing::Test {
 protected:
  // Runs halvern on one page with the given settings in a configuration
  // file and checks that the run left nothing behind.
  RunResult Convert(const std::string& page, json settings, const std::string& output = "out.pdf",
                    std::vector<std::string> args = {}) {
    settings["url"] = TestServer::Get().Url("/pages/" + page);
    settings["output"] = out.File(output);
    settings["outputJsonFile"] = out.File("out.json");
    if (!settings.contains("conversionDelay")) settings["conversionDelay"] = 0;
    std::remove(out.File("out.json").c_str());
    e2e::WriteFile(out.File("config.json"), settings.dump());
    args.insert(args.begin(), {out.File("config.json"), "--verbose"});
    return e2e::RunChecked(tmp.path(), args);
  }
  json OutputJson() { return json::parse(e2e::ReadFile(out.File("out.json")), nullptr, false); }
  std::string File(const std::string& name) { return out.File(name); }
  e2e::TempDir tmp, out;
};

// Run-log milliseconds ("[+N ms]") of the first line holding needle, -1 if none.
long LogMs(const std::string& log, const std::string& needle) {
  size_t at = log.find(needle);
  if (at == std::string::npos) return -1;
  size_t start = log.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  if (log.compare(start, 2, "[+") != 0) return -1;
  return std::strtol(log.c_str() + start + 2, nullptr, 10);
}

// Start signals, waits, page-fault rules and templates: keys and options
// alike. The late pages add their text a second after load, in the task that
// gives the signal; failing waits end at the navigation timeout.
TEST_F(Preparation, PageConditionsBeforeOutput) {
  struct Case {
    std::string page;
    json settings;
    std::vector<std::string> args;
    std::string error;  // empty: the run passes
    std::vector<std::string> present, absent;
  };
  const std::string late = "LATE CONTENT", url = TestServer::Get().Url("/pages/");
  e2e::WriteFile(File("foot.html"), "<p style='font-size:10px'>Page <span class=pageNumber></span> of "
                                    "<span class=totalPages></span></p>");
  const std::vector<std::string> footer = {"Page 1 of 3", "Page 2 of 3", "Page 3 of 3"};
  const json templated = {{"displayHeaderFooter", true}, {"marginBottom", 40}, {"marginTop", 40}};
  json footed = templated;
  footed["footerTemplate"] = e2e::ReadFile(File("foot.html"));
  std::vector<Case> cases = {
      {"prep_manual.html", {{"startupModeManual", true}}, {}, "", {"STARTED BY PAGE"}, {}},
      {"prep_status.html", {{"windowStatus", "ready"}}, {}, "", {"STATUS REACHED"}, {}},
      {"prep_status.html", {{"startupModeManual", true}}, {}, "Navigation timeout after 2500ms.", {}, {}},
      {"prep_manual.html", {{"windowStatus", "never"}}, {}, "Navigation timeout after 2500ms.", {}, {}},
      {"prep_late.html", {}, {}, "", {}, {late}},
      {"prep_late.html", {{"waitForSelector", "#late"}}, {}, "", {late}, {}},
      {"prep_late.html", {{"waitForExpression", "window.lateReady === true"}}, {}, "", {late}, {}},
      {"prep_late.html", {}, {"--wait-for-expression=window.whenLate"}, "", {late}, {}},  // a promise
      {"prep_late.html", {{"waitForNetworkIdle", 500}}, {}, "", {late}, {}},
      {"prep_late.html", {},
       {"--wait-for-selector=#late", "--wait-for-expression=lateReady", "--wait-for-network-idle=300"}, "", {late}, {}},
      {"prep_late.html", {{"waitForSelector", "#never"}}, {}, "Timed out waiting for selector: #never", {}, {}},
      {"prep_late.html", {}, {"--wait-for-expression=window.nope"}, "Timed out waiting for expression: window.nope", {},
       {}},
      {"prep_late.html?keep=1", {{"waitForNetworkIdle", 300}}, {}, "Timed out waiting for network idle: 300ms", {}, {}},
      {"prep_faults.html?fault=throw", {}, {}, "", {}, {}},
      {"prep_faults.html?fault=throw", {{"failOnConsoleExceptions", true}}, {},
       "Exception in the page: Uncaught Error: chart data missing (" + url + "prep_faults.html?fault=throw:11)", {},
       {}},
      {"prep_faults.html?fault=img", {{"failOnResourceLoadingFailed", true}}, {}, "", {}, {}},
      {"prep_faults.html?fault=img", {{"failOnResourceStatus", "404"}}, {},
       "HTTP error 404 Not Found for resource: " + url + "prep_img.png?status=404", {}, {}},
      {"prep_faults.html?fault=img", {}, {"--fail-on-resource-status=400-499,500"},
       "HTTP error 404 Not Found for resource: " + url + "prep_img.png?status=404", {}, {}},
      {"prep_faults.html?fault=script", {{"failOnResourceStatus", "400-599"}}, {}, "", {}, {}},
      {"prep_faults.html?fault=script", {}, {"--fail-on-resource-loading-failed"},
       "Load error -312 (ERR_UNSAFE_PORT) for resource: http://127.0.0.1:1/chart.js", {}, {}},
      {"prep_three_pages.html", footed, {}, "",
       footer, {"three pages"}},
      {"prep_three_pages.html", templated, {"--footer-template=" + File("foot.html")}, "", footer, {"three pages"}},
  };
  for (const Case& c : cases) {
    json settings = c.settings;
    settings["navigationTimeout"] = c.error.empty() ? 15000 : 2500;
    RunResult r = Convert(c.page, settings, "out.pdf", c.args);
    const std::string what = c.page + " " + c.settings.dump() + " " + testing::PrintToString(c.args) + "\n" + r.out;
    if (!c.error.empty()) {
      EXPECT_EQ(r.status, 1) << what;
      EXPECT_NE(r.out.find("ERROR: [PdfClient] " + c.error + "\n"), std::string::npos) << what;
      EXPECT_LE(LogMs(r.out, "ERROR: [PdfClient]"), 2500 + 3000) << what;
      EXPECT_EQ(OutputJson().value("error", ""), c.error) << what;
      EXPECT_FALSE(e2e::FileExists(File("out.pdf"))) << what;
      continue;
    }
    ASSERT_EQ(r.status, 0) << what;
    const std::string text = e2e::PdfText(File("out.pdf"));
    for (const auto& t : c.present) EXPECT_NE(text.find(t), std::string::npos) << t << "\n" << text << what;
    for (const auto& t : c.absent) EXPECT_EQ(text.find(t), std::string::npos) << t << "\n" << text << what;
    std::remove(File("out.pdf").c_str());
  }
}

// Image rows of pdfimages -list (after its two header lines).
int PdfImages(const std::string& pdf) {
  std::string list = e2e::RunCommand({"pdfimages", "-list", pdf}).out;
  return std::max(0, static_cast<int>(std::count(list.begin(), list.end(), '\n')) - 2);
}

// The view is as tall as a scroll step only while the lazy stage scrolls: a
// page with a 150vh block prints the same pages, of the same size (a short
// page is cut to its height in the view), with the stage on or off.
TEST_F(Preparation, LazyImagesLoadBeforePrinting) {
  struct Case {
    std::string page;
    bool enabled;
    std::string lazyScroll;
    int images;
  };
  std::vector<Case> cases = {
      {"prep_lazy_native.html", true, "eager", 2},
      {"prep_lazy_io.html", true, "done", 8},
      {"prep_lazy_io.html?m=200px", true, "done", 8},
      {"prep_lazy_io.html?t=0.5", true, "done", 8},
      {"prep_lazy_scroll.html", true, "done", 6},
      {"prep_lazy_scroll.html", false, "off", 0},
      {"prep_lazy_scroll.html?n=0", true, "done", 0},
      {"prep_lazy_scroll.html?n=0", false, "off", 0},
      {"prep_static.html", true, "skipped", 1},
      // Without the scroll run the observer never fires.
      {"prep_lazy_io.html", false, "off", 0},
  };
  std::map<std::string, std::string> pages;
  for (const Case& c : cases) {
    RunResult r = Convert(c.page, {{"buildParseInfo", true}, {"lazyImagesLoadingEnabled", c.enabled}});
    ASSERT_EQ(r.status, 0) << r.out;
    json j = OutputJson();
    ASSERT_TRUE(j.is_object()) << c.page;
    EXPECT_EQ(j["parseInfo"]["lazyScroll"], c.lazyScroll) << c.page << "\n" << r.out;
    EXPECT_EQ(PdfImages(File("out.pdf")), c.images) << c.page << "\n"
                                                    << e2e::RunCommand({"pdfimages", "-list", File("out.pdf")}).out;
    auto info = e2e::PdfInfo(File("out.pdf"));
    const std::string layout = info["Pages"] + " pages of " + info["Page size"];
    EXPECT_EQ(pages.emplace(c.page, layout).first->second, layout) << c.page;
  }
}

// prep_box.html is 1600 px tall with a 400 x 300 box at (100, 1200).
TEST_F(Preparation, PngSizeFollowsTheClip) {
  const std::string gone = "Element with the specified selector could not be found.";
  struct Case {
    json settings;
    int width, height;  // 0: the capture fails with `gone`
  };
  const Case cases[] = {
      {{{"viewportHeight", 600}}, 1024, 600},
      {{{"scale", 200}}, 2048, 2 * 1601},
      {{{"visibleWebElementSelector", "#box"}}, 400, 300},
      {{{"visibleWebElementSelector", "#box"}, {"scale", 200}}, 800, 600},
      {{{"visibleWebElementSelector", "#gone"}}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.dump());
    json settings = c.settings;
    settings["outputFormat"] = "png";
    std::remove(File("out.png").c_str());
    RunResult r = Convert("prep_box.html", settings, "out.png");
    if (c.width == 0) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.out.find("ERROR: [PdfClient] " + gone + "\n"), std::string::npos) << r.out;
      EXPECT_FALSE(e2e::FileExists(File("out.png")));
      EXPECT_EQ(OutputJson(), json({{"error", gone}}));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.out;
    RunResult check = e2e::RunCommand({"pngcheck", File("out.png")});
    EXPECT_EQ(check.status, 0) << check.out;
    int w = 0, h = 0;
    ASSERT_TRUE(e2e::PngSize(File("out.png"), w, h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
  }
}

const e2e::Link* FindLink(const std::vector<e2e::Link>& links, const std::string& uri) {
  for (const auto& l : links)
    if (l.uri == uri) return &l;
  return nullptr;
}

TEST_F(Preparation, ElementAnchorsAndBookmarkLinksMarkPositions) {
  RunResult r = Convert("prep_anchors.html", {{"webElementsSelectors", {".card", "#jump", "#first"}},
                                              {"pdfBookmarkOptionsSelectors", {"h2"}}});
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<e2e::Link> links = e2e::PdfLinks(File("out.pdf"));
  double pw = 0, ph = 0;
  ASSERT_TRUE(e2e::PageSize(File("out.pdf"), pw, ph));
  std::ostringstream all;
  for (const auto& l : links) all << l.page << " [" << l.x1 << " " << l.y1 << " " << l.x2 << " " << l.y2 << "] " << l.uri << "\n";

  // Element boxes in CSS px: left, top, right, bottom.
  struct Box {
    std::string id;
    double left, top, right, bottom;
  };
  std::string element = kWebElementMarkerUrl;
  for (const Box& b : {Box{"hvn_0", 100, 200, 400, 300}, Box{"hvn_1", 100, 510, 400, 610}}) {
    const e2e::Link* l = FindLink(links, element + "?id=" + b.id);
    ASSERT_NE(l, nullptr) << b.id << "\n" << all.str();
    EXPECT_EQ(l->page, 1);
    // Block wrappers may span the line; vertically they match the element.
    EXPECT_LE(std::min(l->x1, l->x2), b.left * kPt + kTol) << b.id;
    EXPECT_GE(std::max(l->x1, l->x2), b.right * kPt - kTol) << b.id;
    EXPECT_NEAR(ph - std::max(l->y1, l->y2), b.top * kPt, kTol) << b.id;
    EXPECT_NEAR(ph - std::min(l->y1, l->y2), b.bottom * kPt, kTol) << b.id;
  }
  // The link's own annotation now points at the marker; its line is at y 400-430.
  const e2e::Link* jump = FindLink(links, element + "?id=hvn_2");
  ASSERT_NE(jump, nullptr) << all.str();
  EXPECT_GE(ph - std::max(jump->y1, jump->y2), 400 * kPt - kTol);
  EXPECT_LE(ph - std::min(jump->y1, jump->y2), 430 * kPt + kTol);

  // Bookmark indexes count every match, also the empty heading.
  const std::string bookmark = kBookmarkMarkerUrl;
  std::vector<std::string> bookmarks;
  for (const auto& l : links)
    if (l.uri.rfind(bookmark, 0) == 0) bookmarks.push_back(l.uri.substr(bookmark.size()));
  std::sort(bookmarks.begin(), bookmarks.end());
  EXPECT_EQ(bookmarks, (std::vector<std::string>{"?id=0&text=Intro%20%26%20%C3%9Cber", "?id=2&text=Second%20card",
                                                 "?id=3&text=Target"}));

  // Elements in discovery order, once each, with the keys in their fixed order.
  auto j = nlohmann::ordered_json::parse(e2e::ReadFile(File("out.json")), nullptr, false);
  ASSERT_TRUE(j.is_object()) << e2e::ReadFile(File("out.json"));
  ASSERT_TRUE(j["elements"].is_array());
  ASSERT_EQ(j["elements"].size(), 3u) << j.dump(2);
  std::vector<std::string> keys;
  for (auto it = j["elements"][2].begin(); it != j["elements"][2].end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"anchorId", "selector", "id", "text", "tagName", "outerHTML",
                                            "originalHref", "cssClassName"}));
  auto e0 = j["elements"][0], e1 = j["elements"][1], e2 = j["elements"][2];
  EXPECT_EQ(e0, nlohmann::ordered_json({{"anchorId", "hvn_0"}, {"selector", ".card"}, {"id", "first"},
                                         {"text", "First card"}, {"tagName", "DIV"},
                                         {"outerHTML", "<div id=\"first\" class=\"card wide\">First card</div>"},
                                         {"cssClassName", "card wide"}}));
  EXPECT_EQ(e1["tagName"], "H2");
  EXPECT_EQ(e1["text"], "Second card");
  EXPECT_EQ(e2["selector"], "#jump");
  EXPECT_EQ(e2["tagName"], "A");
  EXPECT_EQ(e2["originalHref"], "#target");
  // Without buildParseInfo the file carries only the elements.
  EXPECT_FALSE(j.contains("parseInfo"));

  // Texts cut at 500 and outer HTML at 2000 UTF-16 units end before a
  // character they would split; the rest of the file is unharmed.
  r = Convert("cut_texts.html", {{"webElementsSelectors", {"#long", "#html"}}, {"buildParseInfo", true}});
  ASSERT_EQ(r.status, 0) << r.out;
  json cut = OutputJson();
  ASSERT_EQ(cut["elements"].size(), 2u) << e2e::ReadFile(File("out.json"));
  EXPECT_EQ(cut["elements"][0]["text"], std::string(499, 'a'));
  EXPECT_EQ(cut["elements"][1]["outerHTML"], "<p id=\"html\">" + std::string(1986, 'b'));
  EXPECT_EQ(cut["parseInfo"]["htmlDocTitle"], "Cut \xF0\x9F\x98\x80 texts");
  EXPECT_EQ(cut["parseInfo"]["htmlDocKeywords"], "cut, surrogate");
}

// Console texts as the script engine builds them; dialogs are dismissed at
// once; failures of injected code are the page's, those of the start-up
// script are not.
TEST_F(Preparation, ConsoleMessagesKeepTheirOrderAndLevel) {
  auto started = std::chrono::steady_clock::now();
  RunResult r = Convert("prep_console.html", {{"startupScript", "throw new Error('startup');"},
                                              {"postLoadingScript", "console.log('post');\nnull.boom;"}});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_NE(e2e::PdfText(File("out.pdf")).find("DIALOGS false null"), std::string::npos);
  json j = OutputJson();
  ASSERT_TRUE(j.is_object()) << e2e::ReadFile(File("out.json"));
  ASSERT_TRUE(j["console"].is_array());
  std::vector<std::vector<std::string>> got;
  for (const auto& e : j["console"]) {
    std::string source = e.value("source", "");
    EXPECT_NE(source.find("/pages/prep_console.html"), std::string::npos) << e.dump();
    got.push_back({e.value("level", ""), e.value("message", ""), std::to_string(e.value("line", 0))});
  }
  std::vector<std::vector<std::string>> want = {
      {"log", "one", "5"},       {"log", "two", "6"},          {"warn", "three", "7"},
      {"error", "four", "8"},    {"debug", "five", "9"},       {"log", "[object Object]", "10"},
      {"log", "1,2", "11"},      {"log", "x 2 true", "12"},    {"error", "Error: boom", "13"},
      {"log", "a \xEF\xBF\xBD b", "14"}, {"error", "Uncaught 3,4", "17"}, {"log", "after", "17"}, {"log", "post", "1"}, {"error", "Uncaught TypeError: Cannot read properties of null (reading 'boom')", "2"}};
  EXPECT_EQ(got, want) << j.dump(2);
}

}  // namespace
