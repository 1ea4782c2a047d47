// The HTTP conversion service: requests from others converted on the warm
// browsers of the job runner, with the machine's files, loopback and private
// networks closed unless the operator opens them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/job_runner.h"
#include "app/service_metrics.h"
#include "app/service_request.h"

struct ServiceOptions {
  std::string host;  // as given, without IPv6 brackets
  int port = 0;
  RunnerOptions runner;       // queueCapacity: --serve-queue=
  size_t maxBodyBytes = 20971520;
  std::string token;          // from --serve-token-file=; empty: none needed
  ServiceRules rules;
};

// False, with the reason, for a bad address or service option.
bool ParseServiceOptions(const std::string& address, const std::vector<std::string>& options, ServiceOptions& out,
                         std::string& error);

// What the routes share.
struct ServiceState {
  const ServiceOptions& options;
  JobRunner& runner;
  ServiceMetrics metrics;
  std::atomic<bool> stopping{false};
};

namespace httplib {
class Server;
}
// POST /convert, GET /health, GET /metrics, JSON errors for the rest.
void AddServiceRoutes(httplib::Server& server, ServiceState& state);

// Starts a browser with a first small job, so that the first request finds
// it warm and /health can tell whether browsers start.
void WarmUp(ServiceState& state);

// The whole service; returns the exit status. address: "HOST:PORT".
int RunService(const std::string& address, const std::vector<std::string>& options);
