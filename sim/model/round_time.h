// How long the reader module takes for one inventory round: the Gen2 Q
// algorithm's slots for the tags it lists, plus each listed tag's reply.
// Pure arithmetic; the reader adds the result to its reply time when it
// paces replies as on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::sim {

// Times of the modelled air link (Tari 25 us, tag data rate about 160 kb/s,
// Miller 4): a round's Query and set-up, one slot (QueryRep and the RN16
// window, empty, single or collided alike), and what a singled-out tag adds
// (ACK and its PC, EPC and CRC-16).
inline constexpr uint64_t kRoundStartUs = 10000;
inline constexpr uint64_t kSlotUs = 400;
inline constexpr uint64_t kTagReplyUs = 2000;

// The Q algorithm's start value and step, as Gen2 suggests them.
inline constexpr double kQStart = 4.0;
inline constexpr double kQStep = 0.3;

struct RoundTime {
  uint64_t slots = 0;
  uint64_t us = 0;
};

// A round among `participants` tags that ends once `listed` of them
// (at most all) have been singled out. The slots are the Q algorithm's run
// on expected values: in each slot with m tags left and frame 2^Q, the
// chances of no reply, one reply and a collision move Qfp down or up by
// kQStep and one tag's share leaves. A round that lists every participant
// ends with one more (empty) slot. Deterministic; never more than about a
// few slots per tag.
RoundTime InventoryRoundTime(size_t participants, size_t listed);

}  // namespace zq::sim
