// The message between a port's API side (D level) and its link thread
// (L level), and the thread start record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::platform {
struct PipeEnd;
struct Event;
}

namespace zq::drv {

struct PortEntry;

// Little-endian, 24 bytes, followed by one reader frame.
struct LevelMessageHeader {
  int32_t payloadLength;
  uint8_t kind;         // kKindExchange or kKindEnd
  uint8_t sequenceBit;  // toggled by the D level per request; echoed in the response
  uint16_t reserved;
  int32_t timeoutMs;    // reader answer timeout of this exchange
  int32_t status;       // responses: kLinkOk, kLinkChannelFailed, kLinkFailed
  uint64_t portEntry;   // address of the PortEntry in this process
};
static_assert(sizeof(LevelMessageHeader) == 24, "the channel's message header is 24 bytes");

// The header at the start of a channel message. Pure.
inline LevelMessageHeader* HeaderOf(uint8_t* message) { return reinterpret_cast<LevelMessageHeader*>(message); }

// The status of a response, and the result of a whole exchange.
inline constexpr int32_t kLinkOk = 0;
inline constexpr int32_t kLinkChannelFailed = -1;  // a pipe, event, buffer or thread of the channel failed
inline constexpr int32_t kLinkFailed = -4;         // the reader did not answer right, also after the repeat

inline constexpr uint8_t kKindExchange = 0;
inline constexpr uint8_t kKindEnd = 1;
inline constexpr size_t kHeaderSize = 24;
inline constexpr size_t kMaxRequestFrame = 1558;
inline constexpr size_t kRequestBufferSize = kHeaderSize + kMaxRequestFrame;  // 1582
inline constexpr size_t kMaxReplyFrame = 65536;
inline constexpr size_t kResponseBufferSize = kHeaderSize + kMaxReplyFrame;   // 65560
// Pipes hold a whole response message and its count with room to spare.
inline constexpr size_t kPipeCapacity = 128 * 1024;

// Handed to a new link thread; it copies the record before it answers ready.
struct ThreadStartRecord {
  void* context;                       // always null
  platform::PipeEnd* pipe1Write;       // link -> API
  platform::PipeEnd* pipe2Read;        // API -> link
  platform::Event* event1;             // response ready
  platform::Event* event2;             // request ready
  PortEntry* portEntry;
};

// Pipe framing: a 32-bit little-endian count, then the message.
inline constexpr int32_t kPipeBadArgument = -1;
inline constexpr int32_t kPipeIoFailed = -2;
inline constexpr int32_t kPipeTooLarge = -3;
// PipeWrite: 0, kPipeBadArgument, kPipeIoFailed. Sets `event` after writing.
int32_t PipeWrite(platform::PipeEnd* pipe, platform::Event* event, const uint8_t* message, int32_t length);
// PipeRead: 0, kPipeBadArgument, kPipeIoFailed, kPipeTooLarge (the message
// is larger than `capacity`; its body stays in the pipe).
int32_t PipeRead(platform::PipeEnd* pipe, uint8_t* buffer, int32_t capacity, int32_t* length);

}  // namespace zq::drv
