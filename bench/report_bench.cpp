// Report cost per cycle, and the cost of the fresh-client-per-call rule:
//   build/bench/report_bench --benchmark_min_time=2
#include "support/records.h"
#include "tavrine/agent/report.h"
#include "tavrine/net/http.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

void BM_Serialize(benchmark::State& state) {
  const DeviceTavrine record = test_support::sampleRecord();
  for (auto _ : state) {
    auto report = agent::serializeTavrine(record);
    benchmark::DoNotOptimize(report);
  }
}
BENCHMARK(BM_Serialize);

void BM_Sign(benchmark::State& state) {
  const std::string report = *agent::serializeTavrine(test_support::sampleRecord());
  for (auto _ : state) {
    auto signature = agent::signPayload(report);
    benchmark::DoNotOptimize(signature);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.size()));
}
BENCHMARK(BM_Sign);

// The per-cycle work of serializing and signing (goal: at most 20 us).
void BM_SerializeAndSign(benchmark::State& state) {
  const DeviceTavrine record = test_support::sampleRecord();
  for (auto _ : state) {
    auto report = agent::serializeTavrine(record);
    auto signature = agent::signPayload(*report);
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_SerializeAndSign);

// A loopback backend that accepts every report, keeping connections alive.
class Backend {
 public:
  Backend() {
    server_.set_keep_alive_max_count(1'000'000);
    // Without it the answer's second write waits for a delayed ACK (~40 ms)
    // on a kept-alive connection, which would measure Nagle, not reuse.
    server_.set_tcp_nodelay(true);
    server_.Post("/api/v1/agent/tavrine/", [](const httplib::Request&, httplib::Response& r) {
      r.status = 202;
      r.set_content(R"({"status": "accepted"})", "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Backend() {
    server_.stop();
    thread_.join();
  }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/api/v1/agent/tavrine/";
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

Backend& backend() {
  static Backend instance;
  return instance;
}

// The agent's rule: a fresh client, so a new TCP connection, per request.
void BM_PostFreshClient(benchmark::State& state) {
  const std::string url = backend().url();
  const std::string report = *agent::serializeTavrine(test_support::sampleRecord());
  const std::string signature = *agent::signPayload(report);
  const http::HttpHeader headers[] = {{"X-Signature", signature},
                                      {"Authorization", "DeviceToken abc"}};
  for (auto _ : state) {
    auto response = http::post(url, report, headers);
    if (!response || response->status != 202) state.SkipWithError("post failed");
  }
}
BENCHMARK(BM_PostFreshClient)->UseRealTime();

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// For comparison: one libcurl handle kept across requests, so the connection
// is reused (same headers and options otherwise).
void BM_PostReusedConnection(benchmark::State& state) {
  const std::string url = backend().url();
  const std::string report = *agent::serializeTavrine(test_support::sampleRecord());
  const std::string signature = "X-Signature: " + *agent::signPayload(report);
  CURL* h = curl_easy_init();
  curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
  list = curl_slist_append(list, signature.c_str());
  list = curl_slist_append(list, "Authorization: DeviceToken abc");
  list = curl_slist_append(list, "Expect:");
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, report.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(report.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
  for (auto _ : state) {
    if (curl_easy_perform(h) != CURLE_OK) state.SkipWithError("post failed");
  }
  long connects = 0;
  curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
  state.counters["connects_last_request"] = static_cast<double>(connects);
  curl_slist_free_all(list);
  curl_easy_cleanup(h);
}
BENCHMARK(BM_PostReusedConnection)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
