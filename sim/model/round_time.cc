#include "sim/model/round_time.h"

#include <algorithm>
#include <cmath>

namespace zq::sim {

RoundTime InventoryRoundTime(size_t participants, size_t listed) {
  listed = std::min(listed, participants);
  // Far more than any round needs: a bound against a model mistake, not a figure.
  const uint64_t kSlotBound = 64 + 64 * static_cast<uint64_t>(participants);
  double qfp = kQStart;
  double left = static_cast<double>(participants);
  double found = 0;
  RoundTime r;
  // Half a tag short counts as found: the expected values only approach the last one.
  while (found + 0.5 < static_cast<double>(listed) && r.slots < kSlotBound) {
    const double frame = std::ldexp(1.0, static_cast<int>(std::lround(qfp)));
    const double p = 1.0 / frame;
    const double none = std::pow(1.0 - p, left);
    const double one = std::min(left, left * p * std::pow(1.0 - p, std::max(0.0, left - 1.0)));
    const double collided = std::max(0.0, 1.0 - none - one);
    found += one;
    left -= one;
    qfp = std::clamp(qfp + kQStep * (collided - none), 0.0, 15.0);
    ++r.slots;
  }
  if (listed == participants) ++r.slots;
  r.us = kRoundStartUs + r.slots * kSlotUs + static_cast<uint64_t>(listed) * kTagReplyUs;
  return r;
}

}  // namespace zq::sim
