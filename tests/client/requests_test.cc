#include <gtest/gtest.h>

#include "tests/client/fake_engine.h"

namespace {

class FakeRequest : public engine::Request {
 public:
  explicit FakeRequest(std::string u) : url(std::move(u)) {}
  std::string GetURL() const override { return url; }
  bool IsReadOnly() const override { return false; }
  HeaderMap GetHeaderMap() const override { return headers; }
  void SetHeaderMap(const HeaderMap& h) override { headers = h; }
  std::string url;
  HeaderMap headers = {{"Accept", "*/*"}, {"X-Custom", "old"}};
};

class RequestsTest : public ::testing::Test {
 protected:
  // The handler the client picks for a request; a picked handler has
  // already rewritten `request`'s headers.
  std::shared_ptr<engine::ResourceRequestHandler> Ask(const std::string& url, bool navigation, bool mainFrame = true) {
    if (!client) {
      client = std::make_shared<PdfClient>(s);
      client->targetUrl = target;
    }
    auto frame = std::make_shared<fake::FakeFrame>();
    frame->main = mainFrame;
    request = std::make_shared<FakeRequest>(url);
    auto h = client->GetResourceRequestHandler(nullptr, frame, request, navigation);
    if (h) h->OnBeforeResourceLoad(nullptr, frame, request);
    return h;
  }
  std::string Header(const std::string& name) const {
    auto it = request->headers.find(name);
    return it == request->headers.end() ? "<none>" : it->second;
  }
  ConversionSettings s;
  std::string target = "http://127.0.0.1:8080/page";
  std::shared_ptr<PdfClient> client;
  std::shared_ptr<FakeRequest> request;
};

TEST_F(RequestsTest, CustomHeadersOnlyOnMainNavigationUnlessPersistent) {
  s.httpRequestHeaders = {{"X-Custom", "v"}, {"X-Two", "2"}};
  ASSERT_NE(Ask("http://127.0.0.1:8080/page", true), nullptr);
  EXPECT_EQ(request->headers.count("X-Custom"), 1u);
  EXPECT_EQ(Header("X-Custom"), "v");
  EXPECT_EQ(Header("X-Two"), "2");
  EXPECT_EQ(Ask("http://127.0.0.1:8080/a.css", false), nullptr);
  EXPECT_EQ(Ask("http://127.0.0.1:8080/frame", true, false), nullptr);
  EXPECT_EQ(Ask("http://other:8080/page", true), nullptr);

  client.reset();
  s.persistentHttpRequestHeaders = true;
  ASSERT_NE(Ask("http://127.0.0.1:8080/a.css", false), nullptr);
  EXPECT_EQ(Header("X-Two"), "2");
  EXPECT_EQ(Ask("http://127.0.0.1:9999/a.css", false), nullptr);  // other port, other origin
}

TEST_F(RequestsTest, CredentialsWinOverCustomAuthorizationAndCookiesJoin) {
  s.username = "user";
  s.password = "p:w";
  s.httpRequestHeaders = {{"Authorization", "Bearer x"}};
  s.httpRequestCookies = {{"b", "2"}, {"a", "1"}};
  for (bool navigation : {true, false}) {
    SCOPED_TRACE(navigation);
    ASSERT_NE(Ask(navigation ? "http://127.0.0.1:8080/page" : "http://127.0.0.1:8080/img.png", navigation), nullptr);
    EXPECT_EQ(Header("Authorization"), "Basic dXNlcjpwOnc=");
    EXPECT_EQ(Header("Cookie"), "a=1; b=2");
  }
  EXPECT_EQ(Ask("https://cdn.example/x.js", false), nullptr);
}

TEST_F(RequestsTest, DefaultPortsAndFileTargetsCountAsSameOrigin) {
  target = "http://Example.com/x";
  s.username = "u";
  s.password = "p";
  EXPECT_NE(Ask("http://example.com:80/y", false), nullptr);
  EXPECT_EQ(Ask("https://example.com/y", false), nullptr);
  client.reset();
  target = "file:///tmp/a.html";
  EXPECT_NE(Ask("https://anywhere.example/y", false), nullptr);
}

TEST_F(RequestsTest, BlocksLocalFilesButKeepsStagedHtml) {
  s.localFilesEnabled = false;
  s.localhostEnabled = false;
  s.htmlString = "<p>x</p>";
  target = "file:///tmp/cef_cache_X/index.html";
  testing::internal::CaptureStdout();
  EXPECT_EQ(Ask("file:///tmp/cef_cache_X/index.html", true), nullptr);
  auto file = Ask("FILE:///tmp/cef_cache_X/index.html", false);
  auto local = Ask("http://localhost:3000/api", false);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(dynamic_cast<PdfBlockRequestHandler*>(file.get()), nullptr);
  EXPECT_NE(dynamic_cast<PdfBlockRequestHandler*>(local.get()), nullptr);
}

TEST_F(RequestsTest, BlocksLocalHostsAndPrivateNetworksInEverySpelling) {
  struct Case {
    bool localhost, privateNetworks;
    const char* url;
    bool blocked;
  };
  const Case cases[] = {
      {false, true, "http://[::ffff:7f00:1]:3000/api", true}, {false, true, "ws://localhost./socket", true},
      {false, true, "http://mapped.test/", false},           {false, true, "http://10.0.0.1/", false},
      {true, false, "http://mapped.test/", true},            {true, false, "wss://[fe80::1]/", true},
      {true, false, "http://localhost/", false},             {true, false, "http://public.test/", false},
      {true, true, "http://127.0.0.1:8080/x.css", false},
  };
  s.hostResolverRules = "MAP mapped.test 192.168.0.9, MAP * ~NOTFOUND";
  for (const auto& c : cases) {
    client.reset();
    s.localhostEnabled = c.localhost;
    s.privateNetworksEnabled = c.privateNetworks;
    testing::internal::CaptureStdout();
    const bool blocked = Ask(c.url, false) != nullptr;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(blocked, c.blocked) << c.url;
    EXPECT_EQ(out.find("ERROR: [PdfClient] Blocked request: " + std::string(c.url)) != std::string::npos, c.blocked)
        << out;
    EXPECT_EQ(client->WantsRequestInterception(), !c.localhost || !c.privateNetworks) << c.url;
  }
}

TEST_F(RequestsTest, ServerChallengeAnsweredFromSettingsProxyOnlyFromProxySettings) {
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
