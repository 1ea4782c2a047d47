// Request interception and authentication for the page session: each paused
// request is put to the client's handlers and answered exactly once.
#include "engine/devtools_util.h"
#include "engine/engine_log.h"
#include "engine/page_session.h"

namespace engine {
namespace {

class RequestImpl : public Request {
 public:
  RequestImpl(std::string url, HeaderMap headers)
      : url_(std::move(url)), headers_(std::move(headers)), original_(headers_) {}
  std::string GetURL() const override { return url_; }
  bool IsReadOnly() const override { return false; }
  HeaderMap GetHeaderMap() const override { return headers_; }
  void SetHeaderMap(const HeaderMap& headers) override { headers_ = headers; }
  bool Changed() const { return headers_ != original_; }

 private:
  std::string url_;
  HeaderMap headers_, original_;
};

class AuthCallbackImpl : public AuthCallback {
 public:
  AuthCallbackImpl(Connection& connection, std::string sessionId, std::string requestId)
      : connection_(connection), sessionId_(std::move(sessionId)), requestId_(std::move(requestId)) {}
  // An unanswered challenge would stall the request.
  ~AuthCallbackImpl() override { Default(); }
  void Continue(const std::string& username, const std::string& password) override {
    Answer({{"response", "ProvideCredentials"}, {"username", username}, {"password", password}});
  }
  void Cancel() override { Answer({{"response", "CancelAuth"}}); }
  // The browser's own answer: no credentials.
  void Default() { Answer({{"response", "Default"}}); }

 private:
  void Answer(const Json& response) {
    if (answered_) return;
    answered_ = true;
    connection_.Send("Fetch.continueWithAuth", Json{{"requestId", requestId_}, {"authChallengeResponse", response}},
                     sessionId_, nullptr);
  }
  Connection& connection_;
  std::string sessionId_, requestId_;
  bool answered_ = false;
};

}  // namespace

void PageSession::OnRequestPaused(const Json& params) {
  const std::string requestId = params.value("requestId", "");
  const Json req = params.value("request", Json::object());
  const std::string url = req.value("url", "");
  bool cancel = false;
  std::shared_ptr<RequestImpl> request;
  try {
    Request::HeaderMap headers;
    const Json headerObject = req.value("headers", Json::object());
    for (auto& [name, value] : headerObject.items())
      headers.emplace(name, value.is_string() ? value.get<std::string>() : value.dump());
    request = std::make_shared<RequestImpl>(url, std::move(headers));
    bool isNavigation = params.value("resourceType", "") == "Document";
    auto self = shared_from_this();
    std::string frameId = params.value("frameId", "");
    auto frame = FrameFor(frameId, frameId == targetId_ ? url_ : std::string());
    if (auto handler = client_->GetResourceRequestHandler(self, frame, request, isNavigation))
      cancel = handler->OnBeforeResourceLoad(self, frame, request) == ReturnValue::Cancel;
  } catch (const std::exception& ex) {
    EngineLog(std::string("request handler failed: ") + ex.what());
  }
  if (cancel) {
    SendPage("Fetch.failRequest", Json{{"requestId", requestId}, {"errorReason", "BlockedByClient"}});
    return;
  }
  Json cont = {{"requestId", requestId}};
  if (request && request->Changed()) {
    Json headers = Json::array();
    for (auto& [n, v] : request->GetHeaderMap()) headers.push_back({{"name", n}, {"value", v}});
    cont["headers"] = headers;
  }
  SendPage("Fetch.continueRequest", cont);
}

void PageSession::OnAuthRequired(const Json& params) {
  const Json challenge = params.value("authChallenge", Json::object());
  std::string origin = challenge.value("origin", "");
  std::string host;
  int port = 0;
  ParseHostPort(origin, host, port);
  auto callback = std::make_shared<AuthCallbackImpl>(connection_, sessionId_, params.value("requestId", ""));
  if (!client_->GetAuthCredentials(shared_from_this(), origin, challenge.value("source", "") == "Proxy", host, port,
                                   challenge.value("realm", ""), challenge.value("scheme", ""), callback))
    callback->Default();
}

}  // namespace engine
