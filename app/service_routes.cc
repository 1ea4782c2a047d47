// The service's routes: a request body into a job in a run folder of its
// own, the answer from the job's files, the folder gone after.
#include <chrono>
#include <cstdlib>
#include <future>
#include <fstream>
#include <iterator>
#include <memory>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "app/run_folders.h"
#include "app/service_connections.h"
#include "app/service.h"
#include "client/base64.h"
#include "config/utf8.h"

namespace {

using Json = nlohmann::ordered_json;

// A whole body of the largest allowed size comes in well within this on any
// working connection.
constexpr std::chrono::seconds kBodyDeadline{60};

void Answer(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& error) { Answer(res, status, {{"error", error}}); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Compared in a time that does not depend on where the texts differ, so that
// a caller cannot guess the token a byte at a time.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() != secret.size();
  for (size_t i = 0; i < secret.size(); ++i) differ |= static_cast<unsigned char>(given[i % (given.size() + 1)] ^ secret[i]);
  return differ == 0;
}

// The run's output JSON, or {"error": ...} when it wrote none.
Json OutputJson(const std::string& path, const JobResult& result) {
  Json doc = Json::parse(ReadFile(path), nullptr, false);
  if (!doc.is_object()) doc = Json::object();
  if (result.status != 0 && !doc.contains("error")) doc["error"] = ValidUtf8(result.error);
  return doc;
}

// The body, read here rather than by the library: a chunked body is held to
// the limit as it arrives, and a slow one to a deadline.
bool ReadBody(const httplib::ContentReader& reader, size_t maxBytes, std::string& body, httplib::Response& res) {
  const auto deadline = std::chrono::steady_clock::now() + kBodyDeadline;
  bool tooLarge = false, tooSlow = false;
  const bool read = reader([&](const char* data, size_t length) {
    tooLarge = body.size() + length > maxBytes;
    tooSlow = std::chrono::steady_clock::now() > deadline;
    if (tooLarge || tooSlow) return false;
    body.append(data, length);
    return true;
  });
  if (read) return true;
  res.set_header("Connection", "close");
  if (tooLarge) Refuse(res, 413, "The request body is larger than " + std::to_string(maxBytes) + " bytes.");
  else Refuse(res, tooSlow ? 408 : 400, tooSlow ? "The request body came too slowly." : "The request body was not read whole.");
  return false;
}

// A run folder holding the job's configuration; its output goes there too.
// Empty when the folder cannot be written.
std::string JobFolder(Json& config, RunnerJob& job) {
  const std::string folder = MakeRunFolder("hvn_job_");
  config["output"] = folder + "/output";
  config["outputJsonFile"] = folder + "/output.json";
  const std::string configPath = folder + "/job.json";
  if (!WritePrivateFile(configPath, config.dump(-1, ' ', false, Json::error_handler_t::replace))) {
    RemoveRunFolder(folder);
    return "";
  }
  job.args = {"--config=" + configPath};
  job.stagingDir = folder;
  // Other requests' pages, documents and the browsers' profiles live there.
  job.privateFilesRoot = RunFolderRoot();
  return folder;
}

void Convert(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
             ServiceState& state) {
  if (state.stopping) return Refuse(res, 503, "The service is shutting down.");
  std::string body;
  if (!ReadBody(reader, state.options.maxBodyBytes, body, res)) return;
  Json config;
  const std::string problem = RequestToConfig(body, state.options.rules, config);
  if (!problem.empty()) return Refuse(res, 400, problem);

  auto promise = std::make_shared<std::promise<JobResult>>();
  std::future<JobResult> answer = promise->get_future();
  RunnerJob job;
  const std::string folder = JobFolder(config, job);
  if (folder.empty()) return Refuse(res, 500, "The service cannot write the job's files.");
  job.done = [promise](const JobResult& r) { promise->set_value(r); };
  if (!state.runner.Push(std::move(job), 0)) {
    RemoveRunFolder(folder);
    if (state.stopping) return Refuse(res, 503, "The service is shutting down.");
    res.set_header("Retry-After", "1");
    return Refuse(res, 503, "The service's queue is full; try again later.");
  }
  const JobResult result = answer.get();
  state.metrics.CountConversion(result.status == 0, result.elapsedMs);
  const std::string contentType = result.outputFormat == "png" ? "image/png" : "application/pdf";
  std::string bytes;
  std::string type = "application/json";
  if (result.status != 0) {
    Json doc = OutputJson(folder + "/output.json", result);
    doc["log"] = Json::array();
    for (const std::string& line : result.log) doc["log"].push_back(ValidUtf8(line));
    // A browser that would not start or died is the service's fault, not the page's.
    res.status = result.browserFailed ? 500 : 422;
    bytes = doc.dump(-1, ' ', false, Json::error_handler_t::replace);
  } else if (req.has_param("json") && req.get_param_value("json") != "0") {
    res.status = 200;
    bytes = Json{{"contentType", contentType},
                  {"output", Base64Encode(ReadFile(folder + "/output"))},
                  {"outputJson", OutputJson(folder + "/output.json", result)}}
                 .dump(-1, ' ', false, Json::error_handler_t::replace);
  } else {
    res.status = 200;
    bytes = ReadFile(folder + "/output");
    type = contentType;
  }
  res.body = std::move(bytes);
  res.set_header("Content-Type", type);
  // The folder goes once the answer is out, off the answer's path.
  ConnectionSlots::AfterAnswer([folder] { RemoveRunFolder(folder); });
}

}  // namespace

void WarmUp(ServiceState& state) {
  Json config;
  RunnerJob job;
  if (!RequestToConfig(R"({"htmlString": "<p></p>", "conversionDelay": 0})", state.options.rules, config).empty())
    return;
  const std::string folder = JobFolder(config, job);
  if (folder.empty()) return;
  job.done = [folder](const JobResult&) { RemoveRunFolder(folder); };
  if (!state.runner.Push(std::move(job), 0)) RemoveRunFolder(folder);
}

void AddServiceRoutes(httplib::Server& server, ServiceState& state) {
  const std::string& token = state.options.token;
  const size_t maxBody = state.options.maxBodyBytes;
  // Before the body is read: the caller's token and the body's size. The
  // unread body would be taken for the next request, so the connection closes.
  auto gate = [&token, maxBody](const httplib::Request& req, httplib::Response& res) {
    auto early = [&](int status, const std::string& error) {
      res.set_header("Connection", "close");
      Refuse(res, status, error);
      return status;
    };
    if (!token.empty() && !SameSecret(req.get_header_value("Authorization"), "Bearer " + token))
      return early(401, "A valid \"Authorization: Bearer\" token is needed.");
    if (req.has_header("Content-Length") &&
        std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > maxBody)
      return early(413, "The request body is larger than " + std::to_string(maxBody) + " bytes.");
    return 0;
  };
  server.set_pre_routing_handler([gate](const httplib::Request& req, httplib::Response& res) {
    ConnectionSlots::RequestRead();
    return gate(req, res) ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
  });
  // A client that waits for "100 Continue" hears the refusal instead.
  server.set_expect_100_continue_handler([gate](const httplib::Request& req, httplib::Response& res) {
    const int refused = gate(req, res);
    return refused ? refused : 100;
  });
  server.Post("/convert", [&state](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) { Convert(req, res, reader, state); });
  server.Get("/health", [&state](const httplib::Request&, httplib::Response& res) {
    if (state.stopping) return Refuse(res, 503, "The service is shutting down.");
    if (!state.runner.CanConvert()) return Refuse(res, 503, "No browser has started yet, or the last launch failed.");
    Answer(res, 200, {{"status", "ok"}});
  });
  server.Get("/metrics", [&state](const httplib::Request&, httplib::Response& res) {
    res.set_content(state.metrics.Text(state.runner), "text/plain; version=0.0.4");
  });
  auto notAllowed = [](const httplib::Request& req, httplib::Response& res) {
    Refuse(res, 405, "Method " + req.method + " is not allowed on " + req.path + ".");
  };
  for (const char* path : {"/convert", "/health", "/metrics"}) {
    if (std::string(path) != "/convert") {
      server.Post(path, notAllowed);
    } else {
      server.Get(path, notAllowed);
    }
    server.Put(path, notAllowed);
    server.Delete(path, notAllowed);
    server.Patch(path, notAllowed);
    server.Options(path, notAllowed);
  }
  // Answers the library makes itself (no route, a body over the limit,
  // a broken request) carry a JSON error too.
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (res.has_header("Content-Type")) return;
    const std::string error = res.status == 404   ? "No such path: " + req.path
                              : res.status == 413 ? std::string("The request body is too large.")
                                                  : "The request cannot be answered (" + std::to_string(res.status) + ").";
    Refuse(res, res.status, error);
  });
  server.set_logger([&state](const httplib::Request&, const httplib::Response& res) {
    ConnectionSlots::RequestAnswered();
    state.metrics.CountRequest(res.status);
  });
}
