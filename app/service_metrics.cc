#include "app/service_metrics.h"

#include <cstdio>

#include "app/job_runner.h"

namespace {

constexpr double kBounds[] = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

void ServiceMetrics::CountRequest(int status) {
  std::lock_guard<std::mutex> lock(mu_);
  ++requests_[status];
}

void ServiceMetrics::CountConversion(bool success, int64_t elapsedMs) {
  std::lock_guard<std::mutex> lock(mu_);
  ++(success ? successes_ : failures_);
  const double seconds = static_cast<double>(elapsedMs) / 1000.0;
  for (double bound : kBounds)
    if (seconds <= bound) ++buckets_[bound];
  ++count_;
  sumSeconds_ += seconds;
}

std::string ServiceMetrics::Text(JobRunner& runner) {
  std::string t;
  std::lock_guard<std::mutex> lock(mu_);
  t += "# HELP halvern_requests_total HTTP requests answered, by status code.\n";
  t += "# TYPE halvern_requests_total counter\n";
  for (const auto& [code, n] : requests_)
    t += "halvern_requests_total{code=\"" + std::to_string(code) + "\"} " + std::to_string(n) + "\n";
  t += "# HELP halvern_conversions_total Conversions run, by result.\n";
  t += "# TYPE halvern_conversions_total counter\n";
  t += "halvern_conversions_total{result=\"success\"} " + std::to_string(successes_) + "\n";
  t += "halvern_conversions_total{result=\"failure\"} " + std::to_string(failures_) + "\n";
  t += "# HELP halvern_conversion_duration_seconds Time of a conversion on its browser.\n";
  t += "# TYPE halvern_conversion_duration_seconds histogram\n";
  for (double bound : kBounds)
    t += "halvern_conversion_duration_seconds_bucket{le=\"" + Number(bound) + "\"} " +
         std::to_string(buckets_.count(bound) ? buckets_.at(bound) : 0) + "\n";
  t += "halvern_conversion_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(count_) + "\n";
  t += "halvern_conversion_duration_seconds_sum " + Number(sumSeconds_) + "\n";
  t += "halvern_conversion_duration_seconds_count " + std::to_string(count_) + "\n";
  t += "# HELP halvern_queue_length Requests waiting for a worker.\n";
  t += "# TYPE halvern_queue_length gauge\n";
  t += "halvern_queue_length " + std::to_string(runner.QueueLength()) + "\n";
  t += "# HELP halvern_browsers_live Browsers running.\n";
  t += "# TYPE halvern_browsers_live gauge\n";
  t += "halvern_browsers_live " + std::to_string(runner.LiveBrowsers()) + "\n";
  t += "# HELP halvern_browser_restarts_total Browsers closed because they died or reached a recycle limit.\n";
  t += "# TYPE halvern_browser_restarts_total counter\n";
  t += "halvern_browser_restarts_total " + std::to_string(runner.BrowserRestarts()) + "\n";
  return t;
}
