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
  std::shared_ptr<engine::ResourceRequestHandler> Ask(const std::string& url, bool navigation) {
    if (!client) {
      client = std::make_shared<PdfClient>(s);
      client->targetUrl = target;
    }
    auto frame = std::make_shared<fake::FakeFrame>();
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
  EXPECT_EQ(Ask("http://example.com:8080/y", false), nullptr);
  client.reset();
  target = "file:///tmp/a.html";
  EXPECT_NE(Ask("https://anywhere.example/y", false), nullptr);
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
