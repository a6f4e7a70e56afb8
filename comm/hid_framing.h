// The comm library's HID report framing and its receive buffer, free of
// system calls.
//
// Report formats (byte offsets within one report):
//   kind 0 in:  [0] count n (also the report ID), [1..n] data
//   kind 0 out: [0] total length of the write (low 8 bits), [1..] up to
//               output length - 1 data bytes, rest zero
//   kind 1 in:  [0] report ID (not read), [1] count c, [2..] data; c equal to
//               input length - 1 marks a full report that more reports
//               continue, carrying c - 1 data bytes
//   kind 1 out: [0] total length (low 8 bits), [1] chunk length, plus 1 when
//               more reports of the same write follow, [2..] up to output
//               length - 2 data bytes, rest zero
//
// Sections: framing; ReceiveBuffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::comm {

// ---- framing -------------------------------------------------------------------

inline constexpr size_t kInputWorkArea = 256;   // the reader's read area
inline constexpr size_t kOutputWorkArea = 257;  // one output report under construction

// Smallest report lengths a kind can move data with (a count byte and one
// data byte in each direction); smaller devices are refused at open.
size_t MinimumInputLength(int32_t kind);
size_t MinimumOutputLength(int32_t kind);

// Fills report[0 .. outputLength) with the report that carries the data from
// `offset` on; returns the number of data bytes it carries. outputLength must
// be at least MinimumOutputLength(kind) and at most kOutputWorkArea.
size_t BuildOutputReport(int32_t kind, const uint8_t* data, size_t length, size_t offset, size_t outputLength,
                         uint8_t* report);

struct InputData {
  const uint8_t* data = nullptr;
  size_t count = 0;
  bool continued = false;  // kind 1: further reports continue this one
};

// The data of one input report of `inputLength` bytes. A count that claims
// more bytes than the report holds is cut at the report's end.
InputData ParseInputReport(int32_t kind, const uint8_t* report, size_t inputLength);

// ---- ReceiveBuffer ----------------------------------------------------------------

// 4096 received bytes, oldest first, each held XOR 0x3C so that no copy of
// the port object in memory shows the reader's traffic in the clear. Not
// thread-safe: the port's buffer lock guards it.
class ReceiveBuffer {
 public:
  static constexpr size_t kCapacity = 4096;
  static constexpr uint8_t kMask = 0x3C;

  size_t count() const { return count_; }
  size_t room() const { return kCapacity - count_; }
  void Clear();
  // Appends min(n, room()) bytes; returns how many.
  size_t Append(const uint8_t* data, size_t n);
  // Moves the oldest min(n, count()) bytes, unmasked, to `out`; the rest
  // moves to the front and the freed tail is zeroed. Returns how many.
  size_t Take(uint8_t* out, size_t n);

 private:
  uint8_t bytes_[kCapacity] = {};
  size_t count_ = 0;
};

}  // namespace zq::comm
