// A backend whose report endpoint answers with an endless chunked body (up
// to 1 GiB), for measuring what such an answer leaves in the agent's memory
// (bench/large_answer.sh). Registration succeeds with a short token.
//   large_answer_bench PORT
#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: large_answer_bench PORT\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  constexpr size_t kChunk = 64 * 1024;
  constexpr size_t kAnswer = size_t{1} << 30;
  const std::string chunk(kChunk, 'x');
  httplib::Server server;
  server.Post("/api/v1/agent/register/", [](const httplib::Request&, httplib::Response& r) {
    r.status = 201;
    r.set_content(R"({"token": "bench-token-0123456789"})", "application/json");
  });
  server.Post("/api/v1/agent/tavrine/", [&](const httplib::Request&, httplib::Response& r) {
    auto sent = std::make_shared<size_t>(0);
    r.set_chunked_content_provider(
        "application/json",
        [&chunk, sent](size_t, httplib::DataSink& sink) {
          if (*sent >= kAnswer) {
            sink.done();
            return true;
          }
          if (!sink.write(chunk.data(), chunk.size())) return false;
          *sent += chunk.size();
          return true;
        },
        [sent](bool) { std::fprintf(stderr, "answer: %zu bytes sent\n", *sent); });
  });
  if (!server.listen("127.0.0.1", port)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  return 0;
}
