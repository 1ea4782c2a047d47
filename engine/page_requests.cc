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

// Answers one paused request once: failed as blocked, or continued with the
// headers the client changed. An undecided request is failed.
class RequestCallbackImpl : public RequestCallback {
 public:
  RequestCallbackImpl(std::weak_ptr<PageSession> session, std::string requestId, std::shared_ptr<RequestImpl> request)
      : session_(std::move(session)), requestId_(std::move(requestId)), request_(std::move(request)) {}
  ~RequestCallbackImpl() override { Cancel(); }
  void Continue() override { Answer(false); }
  void Cancel() override { Answer(true); }

 private:
  void Answer(bool cancel) {
    if (answered_) return;
    answered_ = true;
    auto session = session_.lock();
    if (!session) return;
    Json headers;
    if (!cancel && request_ && request_->Changed()) {
      headers = Json::array();
      for (auto& [n, v] : request_->GetHeaderMap()) headers.push_back({{"name", n}, {"value", v}});
    }
    session->AnswerPausedRequest(requestId_, cancel, headers);
  }
  std::weak_ptr<PageSession> session_;
  std::string requestId_;
  std::shared_ptr<RequestImpl> request_;
  bool answered_ = false;
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
  ReturnValue decision = ReturnValue::Continue;
  std::shared_ptr<RequestImpl> request;
  std::shared_ptr<RequestCallbackImpl> callback;
  try {
    Request::HeaderMap headers;
    const Json headerObject = req.value("headers", Json::object());
    for (auto& [name, value] : headerObject.items())
      headers.emplace(name, value.is_string() ? value.get<std::string>() : value.dump());
    request = std::make_shared<RequestImpl>(url, std::move(headers));
    callback = std::make_shared<RequestCallbackImpl>(weak_from_this(), requestId, request);
    bool isNavigation = params.value("resourceType", "") == "Document";
    auto self = shared_from_this();
    std::string frameId = params.value("frameId", "");
    auto frame = FrameFor(frameId, frameId == targetId_ ? url_ : std::string());
    if (auto handler = client_->GetResourceRequestHandler(self, frame, request, isNavigation))
      decision = handler->OnBeforeResourceLoad(self, frame, request, callback);
  } catch (const std::exception& ex) {
    EngineLog(std::string("request handler failed: ") + ex.what());
    decision = ReturnValue::Continue;
  }
  if (decision == ReturnValue::ContinueAsync && callback) return;  // the callback answers
  if (!callback) callback = std::make_shared<RequestCallbackImpl>(weak_from_this(), requestId, nullptr);
  decision == ReturnValue::Cancel ? callback->Cancel() : callback->Continue();
}

void PageSession::AnswerPausedRequest(const std::string& requestId, bool cancel, const Json& headers) {
  if (cancel) {
    SendPage("Fetch.failRequest", Json{{"requestId", requestId}, {"errorReason", "BlockedByClient"}});
    return;
  }
  Json params = {{"requestId", requestId}};
  if (!headers.is_null()) params["headers"] = headers;
  SendPage("Fetch.continueRequest", params);
}

void PageSession::OnAuthRequired(const Json& params) {
  const Json challenge = params.value("authChallenge", Json::object());
  std::string origin = challenge.value("origin", "");
  std::string host;
  int port = 0;
  ParseHostPort(origin, host, port);
  auto callback = std::make_shared<AuthCallbackImpl>(connection_, sessionId_, params.value("requestId", ""));
  // The client is told the URL of the challenged request; host and port are
  // the challenger's (the proxy's, for a proxy).
  const std::string url = params.value("request", Json::object()).value("url", origin);
  if (!client_->GetAuthCredentials(shared_from_this(), url, challenge.value("source", "") == "Proxy", host, port,
                                   challenge.value("realm", ""), challenge.value("scheme", ""), callback))
    callback->Default();
}

}  // namespace engine
