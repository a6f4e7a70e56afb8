// Fuzz target: the simulator's reading of what the host sends: the reader
// module's frame receiver and command set, and the control commands. A
// fresh powered reader (or device) per input. Input: byte 0 picks the way
// in (low 2 bits) and, for raw bytes, how often a frame pause falls (the
// rest); then:
//
//   0  raw UART bytes, 1 ms apart
//   1  commands (a count byte, then the command), each sent as a sound
//      request frame for the reader's unit with alternating sequence bits
//   2  commands as mode 1, executed directly
//   3  control lines ('\n' between them) to a simulated device
//
// Whatever comes in, the reader answers only with whole, sound frames
// whose body ends in a status word, addressed with the request's sequence
// bit (bar its boot banner), and the control commands answer "OK" or "ERR".
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/model/device.h"
#include "sim/model/reader.h"

namespace {

using zq::sim::Bytes;
using zq::sim::Transmission;

void CheckReplies(const std::vector<Transmission>& sent, size_t from, int sequenceBit) {
  for (size_t i = from; i < sent.size(); ++i) {
    zq::protocol::FrameView view;
    if (zq::protocol::DecodeFrame(sent[i].bytes, &view) != zq::protocol::FrameStatus::kComplete) __builtin_trap();
    if (view.payloadLength + zq::protocol::kFrameOverhead != sent[i].bytes.size()) __builtin_trap();
    if (view.payloadLength < 2) __builtin_trap();
    if (sequenceBit >= 0 && view.address != sequenceBit) __builtin_trap();
  }
}

std::vector<Bytes> Commands(const uint8_t* data, size_t size) {
  std::vector<Bytes> commands;
  size_t at = 0;
  while (at < size) {
    size_t n = data[at++];
    if (n > size - at) n = size - at;
    commands.emplace_back(data + at, data + at + n);
    at += n;
  }
  return commands;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] & 3;
  const size_t pauseEvery = data[0] >> 2;
  data += 1;
  size -= 1;

  if (mode == 3) {
    zq::sim::Device device(zq::sim::DeviceOptions{});
    if (!device.Reset().empty()) __builtin_trap();
    device.HidOpened();
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    uint64_t now = 1000;
    while (at <= text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const auto r = device.Control(text.substr(at, end - at), now);
      if (r.reply.compare(0, 2, "OK") != 0 && r.reply.compare(0, 3, "ERR") != 0) __builtin_trap();
      at = end + 1;
      now += 1000;
    }
    device.State(now);
    return 0;
  }

  zq::sim::Faults faults;
  zq::sim::Reader reader(zq::sim::ReaderOptions{}, &faults);
  std::vector<Transmission> sent;
  uint64_t t = 1000;
  reader.PowerOn(t, &sent);
  const size_t boot = sent.size();

  if (mode == 0) {
    for (size_t i = 0; i < size; ++i) {
      t += (pauseEvery != 0 && i % pauseEvery == 0) ? 200000 : 1000;
      reader.Receive(data[i], t, &sent);
    }
    CheckReplies(sent, boot, -1);
    return 0;
  }

  int sequenceBit = 0;
  for (const Bytes& command : Commands(data, size)) {
    if (mode == 2) {
      uint64_t processing = 0;
      if (reader.Execute(command, &processing).size() < 2) __builtin_trap();
      continue;
    }
    if (command.empty()) continue;
    sequenceBit ^= 1;
    const Bytes frame =
        zq::protocol::EncodeFrame(static_cast<uint8_t>(zq::protocol::UnitAddress(0) | sequenceBit), command);
    const size_t before = sent.size();
    for (uint8_t b : frame) reader.Receive(b, t += 100, &sent);
    // One sound request, one reply.
    if (sent.size() != before + 1) __builtin_trap();
    CheckReplies(sent, before, sequenceBit);
    t += 200000;
  }
  return 0;
}
