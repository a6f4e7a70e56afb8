// The MQTT publisher's throughput: events a second from the journal to a
// local mosquitto at QoS 1, counted when the broker acknowledged them
// (the publisher's cursor), with no cap on messages a second.
//
//   BM_MqttBacklog/N  a journal holding N events before the publisher
//                     starts (the backlog after an outage)
//   BM_MqttLive/N     N events appended in batches of 100 while the
//                     publisher runs (live traffic, journal writes included)
//
//   build/bench/zq_bench_mqtt
#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "agent/journal.h"
#include "agent/model.h"
#include "agent/mqtt/publisher.h"
#include "agent/service.h"
#include "bench/agent_events.h"
#include "tests/support/child_process.h"

namespace {

using namespace zq::agent;
using namespace std::chrono_literals;

// One mosquitto for the whole run, on a loopback port of its own.
struct LocalBroker {
  LocalBroker() {
    dir = (std::filesystem::temp_directory_path() / ("zq-bench-mqtt-" + std::to_string(std::random_device()()))).string();
    std::filesystem::create_directories(dir);
    port = static_cast<uint16_t>(20000 + std::random_device()() % 20000);
    std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\nuser root\n"
                                           << "max_queued_messages 0\n";
    process = std::make_unique<zq::test::ChildProcess>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"}, std::map<std::string, std::string>{});
    std::this_thread::sleep_for(300ms);
  }
  ~LocalBroker() {
    process->Kill(SIGTERM);
    process->Wait();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  uint16_t port = 0;
  std::unique_ptr<zq::test::ChildProcess> process;
};

LocalBroker& Broker() {
  static LocalBroker broker;
  return broker;
}

std::vector<Event> Batch(size_t n, int64_t t) { return zq::bench::AppearBatch(n, t); }

void Run(benchmark::State& state, bool live) {
  const size_t total = static_cast<size_t>(state.range(0));
  Config config;
  config.mqttUrl = "mqtt://127.0.0.1:" + std::to_string(Broker().port);
  config.site = "bench";
  config.mqttMaxRate = 100000;
  config.mqttHealthS = 0;
  double seconds = 0;
  for (auto _ : state) {
    const std::string path = Broker().dir + "/journal.db";
    for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(path + s);
    Journal journal;
    journal.Open(path, "bench", 100000000, 3600 * 1000);
    if (!live)
      for (size_t done = 0; done < total; done += 1000) journal.Append(Batch(1000, NowMs()), NowMs());
    Service service(config, &journal);
    mqtt::ReaderPublisher publisher(config, &service, &journal, "SIM0001");
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    if (!publisher.Start(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    std::thread producer([&] {
      for (size_t done = 0; live && done < total; done += 100) journal.Append(Batch(100, NowMs()), NowMs());
    });
    while (publisher.stats().acked < total && std::chrono::steady_clock::now() - start < 60s) std::this_thread::sleep_for(1ms);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    producer.join();
    if (publisher.stats().acked < total) state.SkipWithError("not every event was acknowledged in 60 s");
    publisher.Stop(0);
  }
  state.counters["events_per_s"] = static_cast<double>(total * state.iterations()) / seconds;
}

void BM_MqttBacklog(benchmark::State& state) { Run(state, false); }
void BM_MqttLive(benchmark::State& state) { Run(state, true); }
BENCHMARK(BM_MqttBacklog)->Arg(50000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MqttLive)->Arg(50000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
