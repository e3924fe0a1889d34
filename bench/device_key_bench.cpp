// The device signature's cost per cycle beside the HMAC signature that every
// report already carries, side by side in one run:
//   build/bench/device_key_bench --benchmark_min_time=2
#include "support/records.h"
#include "tavrine/agent/device_key.h"
#include "tavrine/agent/report.h"
#include "tavrine/base/jws.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const std::string& report() {
  static const std::string text = *agent::serializeTavrine(test_support::sampleRecord());
  return text;
}

const device_key::DeviceKey& key() {
  static const device_key::DeviceKey made = *device_key::fromKey(*es256::generate());
  return made;
}

// X-Signature: HMAC-SHA256, hexadecimal.
void BM_HmacSignature(benchmark::State& state) {
  for (auto _ : state) {
    auto signature = agent::signPayload(report());
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_HmacSignature);

// X-Device-Signature: the JWS of the same report (Base64url, SHA-256, ECDSA
// P-256 with the platform's library, which is what a cycle adds).
void BM_DeviceSignature(benchmark::State& state) {
  for (auto _ : state) {
    auto signature = device_key::signDetached(key(), report());
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_DeviceSignature);

// What the backend spends checking one.
void BM_DeviceSignatureVerify(benchmark::State& state) {
  const auto parsed = *jws::parseDetached(*device_key::signDetached(key(), report()));
  for (auto _ : state) {
    const bool good = jws::verifyDetached(parsed, report(), key().key.point);
    benchmark::DoNotOptimize(good);
  }
}
BENCHMARK(BM_DeviceSignatureVerify);

}  // namespace

BENCHMARK_MAIN();
