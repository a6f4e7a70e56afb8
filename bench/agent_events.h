// Events for the reader service's benchmarks: `n` appear events of one
// reader at time `t`, as the tag table makes them.
#pragma once

#include <string>
#include <vector>

#include "agent/model.h"

namespace zq::bench {

inline std::vector<agent::Event> AppearBatch(size_t n, int64_t t) {
  std::vector<agent::Event> out;
  for (size_t i = 0; i < n; ++i)
    out.push_back({"appear", "SIM0001", t, {{"epc", "E2000017000000000000" + std::to_string(1000 + i % 9000)}, {"pc", "3000"},
                                             {"rssi_dbm", -50.5}, {"reads", 1}}});
  return out;
}

}  // namespace zq::bench
