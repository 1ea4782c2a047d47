#include <gtest/gtest.h>

#include "client/pdf_client.h"
#include "tests/client/fake_engine.h"

namespace {

class FakeRequest : public engine::Request {
 public:
  explicit FakeRequest(std::string u) : url(std::move(u)) {}
  std::string GetURL() const override { return url; }
  std::string GetMethod() const override { return "GET"; }
  bool IsReadOnly() const override { return readOnly; }
  HeaderMap GetHeaderMap() const override { return headers; }
  void SetHeaderMap(const HeaderMap& h) override { headers = h; }
  std::string url;
  bool readOnly = false;
  HeaderMap headers;
};

struct Pick {
  std::shared_ptr<engine::ResourceRequestHandler> handler;
  std::shared_ptr<FakeRequest> request;
};

class RequestsTest : public ::testing::Test {
 protected:
  Pick Ask(const std::string& url, bool navigation, bool mainFrame = true) {
    if (!client) {
      client = std::make_shared<PdfClient>(s);
      client->targetUrl = target;
    }
    auto frame = std::make_shared<fake::FakeFrame>();
    frame->main = mainFrame;
    auto req = std::make_shared<FakeRequest>(url);
    req->headers.emplace("Accept", "*/*");
    req->headers.emplace("X-Custom", "old");
    auto h = client->GetResourceRequestHandler(nullptr, frame, req, navigation);
    if (h) h->OnBeforeResourceLoad(nullptr, frame, req);
    return {h, req};
  }
  static std::string Header(const Pick& p, const std::string& name) {
    auto it = p.request->headers.find(name);
    return it == p.request->headers.end() ? "<none>" : it->second;
  }
  ConversionSettings s;
  std::string target = "http://127.0.0.1:8080/page";
  std::shared_ptr<PdfClient> client;
};

TEST_F(RequestsTest, NothingConfiguredMeansNoInterception) {
  client = std::make_shared<PdfClient>(s);
  EXPECT_FALSE(client->WantsRequestInterception());
  EXPECT_EQ(Ask("http://127.0.0.1:8080/a.css", false).handler, nullptr);
}

TEST_F(RequestsTest, CustomHeadersOnlyOnMainNavigationUnlessPersistent) {
  s.httpRequestHeaders = {{"X-Custom", "v"}, {"X-Two", "2"}};
  Pick nav = Ask("http://127.0.0.1:8080/page", true);
  EXPECT_EQ(Header(nav, "X-Custom"), "v");
  EXPECT_EQ(nav.request->headers.count("X-Custom"), 1u);
  EXPECT_EQ(Header(nav, "X-Two"), "2");
  EXPECT_EQ(Ask("http://127.0.0.1:8080/a.css", false).handler, nullptr);
  EXPECT_EQ(Ask("http://127.0.0.1:8080/frame", true, false).handler, nullptr);
  EXPECT_EQ(Ask("http://other:8080/page", true).handler, nullptr);

  client.reset();
  s.persistentHttpRequestHeaders = true;
  EXPECT_EQ(Header(Ask("http://127.0.0.1:8080/a.css", false), "X-Two"), "2");
  EXPECT_EQ(Ask("http://127.0.0.1:9999/a.css", false).handler, nullptr);  // other port, other origin
}

TEST_F(RequestsTest, CredentialsWinOverCustomAuthorizationAndCookiesJoin) {
  s.username = "user";
  s.password = "p:w";
  s.httpRequestHeaders = {{"Authorization", "Bearer x"}};
  s.httpRequestCookies = {{"b", "2"}, {"a", "1"}};
  Pick nav = Ask("http://127.0.0.1:8080/page", true);
  EXPECT_EQ(Header(nav, "Authorization"), "Basic dXNlcjpwOnc=");
  EXPECT_EQ(Header(nav, "Cookie"), "a=1; b=2");
  Pick sub = Ask("http://127.0.0.1:8080/img.png", false);
  EXPECT_EQ(Header(sub, "Authorization"), "Basic dXNlcjpwOnc=");
  EXPECT_EQ(Header(sub, "Cookie"), "a=1; b=2");
  EXPECT_EQ(Ask("https://cdn.example/x.js", false).handler, nullptr);
}

TEST_F(RequestsTest, DefaultPortsAndFileTargetsCountAsSameOrigin) {
  target = "http://Example.com/x";
  s.username = "u";
  s.password = "p";
  EXPECT_NE(Ask("http://example.com:80/y", false).handler, nullptr);
  EXPECT_EQ(Ask("https://example.com/y", false).handler, nullptr);
  client.reset();
  target = "file:///tmp/a.html";
  EXPECT_NE(Ask("https://anywhere.example/y", false).handler, nullptr);
}

TEST_F(RequestsTest, BlocksLocalFilesButKeepsStagedHtml) {
  s.localFilesEnabled = false;
  s.localhostEnabled = false;
  s.htmlString = "<p>x</p>";
  target = "file:///tmp/cef_cache_X/index.html";
  testing::internal::CaptureStdout();
  EXPECT_EQ(Ask("file:///tmp/cef_cache_X/index.html", true).handler, nullptr);
  auto blocked = Ask("FILE:///tmp/cef_cache_X/index.html", false);
  auto local = Ask("http://localhost:3000/api", false);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(dynamic_cast<PdfBlockRequestHandler*>(blocked.handler.get()), nullptr);
  EXPECT_NE(dynamic_cast<PdfBlockRequestHandler*>(local.handler.get()), nullptr);
  EXPECT_NE(out.find("ERROR: [PdfClient] Blocked request: http://localhost:3000/api"), std::string::npos) << out;
}

TEST_F(RequestsTest, AuthChallengesAnsweredFromSettings) {
  struct Cb : engine::AuthCallback {
    void Continue(const std::string& u, const std::string& p) override { got = u + "/" + p; }
    void Cancel() override { got = "cancel"; }
    std::string got;
  };
  s.username = "u";
  s.password = "p";
  client = std::make_shared<PdfClient>(s);
  auto cb = std::make_shared<Cb>();
  EXPECT_TRUE(client->GetAuthCredentials(nullptr, "http://h/", false, "h", 80, "r", "basic", cb));
  EXPECT_EQ(cb->got, "u/p");
  EXPECT_FALSE(client->GetAuthCredentials(nullptr, "http://h/", true, "proxy", 3128, "r", "basic", cb));
}

}  // namespace
