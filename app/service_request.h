// A conversion request's body as a job's configuration file: the keys a
// caller may send, their types, and the service's rules a request can only
// tighten.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/settings.h"

struct ServiceRules {
  ConversionSettings defaults;  // the service's options, read as a run's settings
  // Opened by the operator; every request starts blocked from the rest.
  bool localFiles = false, localhost = false, privateNetworks = false;
};

// Reads the service's default options (not its own --serve-* ones) into
// rules.defaults; false with the reason when they do not make a run.
bool ReadServiceDefaults(const std::vector<std::string>& defaults, ServiceRules& rules, std::string& error);

// body (JSON text) -> the job's configuration object, without its output
// paths. Empty on success, else the reason, naming the key.
std::string RequestToConfig(const std::string& body, const ServiceRules& rules, nlohmann::ordered_json& config);
