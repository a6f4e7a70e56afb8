// One reader command exchange through the port's link thread, and the
// shape every command handler follows.
//
// Sections: the exchange (k_TransmitMsg and its pure parts); the reply; the
// handler call.
//
// Everything here runs on the calling thread of an exported function that
// holds the unit's API mutex, and addresses the port of CurrentPort().
#pragma once

#include <cstdarg>
#include <cstdint>
#include <vector>

#include "driver/commands/process_state.h"

namespace zq::drv {

// ---- the exchange -----------------------------------------------------------

// The longest command the reader takes.
inline constexpr int32_t kMaxReaderCommand = 1552;
// The head of a response frame in front of its body: address, length.
inline constexpr int32_t kReplyHeadLength = 3;
// The largest reply the pass-through and the log fetch accept.
inline constexpr int32_t kLargeReplyCapacity = 65536;

// Writes the request message of `command` (1..kMaxReaderCommand bytes) for
// unit `unit` into `message` (kRequestBufferSize bytes): the channel header
// (kind exchange, `timeoutMs`, `portEntry`) and the reader frame. Returns
// the message length (length + 3 + 24). Pure.
int32_t BuildRequestMessage(uint32_t unit, const uint8_t* command, int32_t length, int32_t timeoutMs, uint64_t portEntry,
                            uint8_t* message);

// What becomes of a response frame the link delivered (pure).
struct ReplyTaken {
  int32_t bodyLength = 0;     // N after the rewrite; 0 when refused
  bool tooLong = false;       // N exceeded the capacity: nothing was copied
  bool armsRecovery = false;  // the status word lies in 64 05 to 64 0E
};
// Copies `frame` (head and N body bytes) into `out` (capacity + 3 bytes)
// when N <= capacity. A frame whose length field is 0 still gets its head
// copied, so a check sees a body shorter than a status word. A two-byte
// body 64 02 becomes the three-byte body 15 64 02 (capacity permitting, as
// the reader status 0x15 is what the word stands for).
ReplyTaken TakeReply(const uint8_t* frame, int32_t capacity, uint8_t* out);

// One exchange with the reader of CurrentPort(). `rcvLen` holds the
// largest reply body accepted on entry and the body length on return (0 on
// any failure); `rcvData` (at least *rcvLen + 3 bytes) gets the whole
// response frame. Sets the calling thread's retry flag after a failed
// exchange and for a status word 64 05 to 64 0E.
// Returns RFRW_SUCCESS; RFRW_ERROR_PARAMETER for a missing command, one
// longer than kMaxReaderCommand or a reply longer than accepted; or the
// link's status (kLinkChannelFailed, kLinkFailed, ...) unchanged.
int32_t k_TransmitMsg(int32_t sndLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData);

// The channel exchange k_TransmitMsg hands its request message to, with
// k_CM_TransmitMsg's contract (channel.h). k_CM_TransmitMsg unless another
// was installed; installing nullptr puts it back. For in-process fakes of
// the link (the fuzz targets): install before any exchange runs, as
// running exchanges read it without a lock.
using ChannelExchange = int32_t (*)(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response,
                                    int32_t responseCapacity);
void InstallChannelExchange(ChannelExchange exchange);

// One request/response exchange through the channel (k_CM_TransmitMsg's
// contract and result) while holding the process's bridge: every unit of
// a process talks through its one bridge, whose replies do not name the
// unit they answer, so every exchange that reaches the reader, whatever
// its unit or its kind (a command, a firmware block), goes through here.
// Blocks while another thread's exchange runs.
int32_t ExchangeOnBridge(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response, int32_t responseCapacity);

// ---- the reply --------------------------------------------------------------

// The status word at the end of a response frame's body; 64 03 (a reply the
// driver cannot use) when the body is shorter than a status word. Pure.
uint16_t FrameStatusWord(const uint8_t* frame);
// Whether a response frame's body has at least two bytes and starts 90 00.
bool FrameStartsExecuted(const uint8_t* frame);
// The status word a handler answers with for a reply its step did not
// accept: the reply's own `sw`, unless that is 90 00 (a reply of another
// shape than the step expects, such as 01 90 00 where 90 00 was due),
// which becomes the general failure 64 03: the application must never read
// success for a command the reader did not carry out. Pure.
uint16_t RefusalWord(uint16_t sw);

// A response frame as k_TransmitMsg returned it.
class ReaderReply {
 public:
  const uint8_t* frame() const { return frame_.data(); }
  uint8_t* frame() { return frame_.data(); }
  int32_t frameLength() const { return kReplyHeadLength + length_; }
  const uint8_t* body() const { return frame_.data() + kReplyHeadLength; }
  int32_t bodyLength() const { return length_; }
  // The last two body bytes; 64 03 (a reply the driver cannot use) when
  // the body is shorter than a status word.
  uint16_t StatusWord() const;
  // A body of at least two bytes that starts with 90 00.
  bool StartsExecuted() const;
  // A body that is exactly the status word 90 00.
  bool IsBareSuccess() const { return length_ == 2 && StartsExecuted(); }

  // For the exchange: room for `capacity` body bytes, and the length taken.
  uint8_t* Prepare(int32_t capacity);
  void SetBodyLength(int32_t length) { length_ = length; }

 private:
  std::vector<uint8_t> frame_ = std::vector<uint8_t>(kReplyHeadLength, 0);
  int32_t length_ = 0;
};

// ---- the handler call -------------------------------------------------------
//
// Every command handler has one shape:
//
//   int32_t Internal_ExampleCMD(uint32_t sendLength, const uint8_t* command,
//                               int32_t* receiveLength, uint8_t* rcvData) {
//     HandlerCall call("★Internal_ExampleCMD Out  Ret = %d,Data=", receiveLength, rcvData);
//     OutputLog(LogLevel::kStep, CurrentPort(), ..., "★Internal_ExampleCMD Call ...");  // 1. call line
//     if (sendLength != 4) return call.Refuse("Internal_ExampleCMD Param Error");    // 2. checks
//     if (const int32_t r = call.Exchange(bytes, n, 4); r != 0)                       // 3. exchange
//       return call.Fail(r, "Internal_ExampleCMD Transmit Error %d", r);
//     if (!call.reply().IsBareSuccess()) return call.AnswerStatusWord();             // 4. status word
//     return call.Answer(data, length);                                              // 5. answer
//   }                                                                                // 6. out line
//
// Each way out of a handler goes through one of the terminal calls (Refuse,
// Fail, Answer..., Finish), which set the response length and the result;
// the out line is written with that result and the response when the call
// ends. A reader refusal is an answer (result 0 with its status word).
class HandlerCall {
 public:
  // `outFormat` takes the result (%d) and, optionally, the response length
  // (a second %d). `receiveLength` and `rcvData` are the handler's
  // response area (capacity on entry); internal commands without one pass
  // nullptrs.
  // `port` is the one the call's lines name.
  HandlerCall(const char* outFormat, int32_t* receiveLength, uint8_t* rcvData, uint32_t port = CurrentPort());
  ~HandlerCall();
  HandlerCall(const HandlerCall&) = delete;
  HandlerCall& operator=(const HandlerCall&) = delete;

  // The response area's capacity as the handler was called (0 without one).
  int32_t capacity() const { return capacity_; }

  // A failed check: logs the line at level 0; length 0; RFRW_ERROR_PARAMETER.
  int32_t Refuse(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A failure with `result` (an exchange's or a bridge's): logs the line at
  // level 0; length 0; returns `result`.
  int32_t Fail(int32_t result, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // One exchange of `command` accepting `capacity` body bytes, into the
  // call's reply (or into `frameOut`, capacity + 3 bytes, when given).
  // k_TransmitMsg's result.
  int32_t Exchange(const uint8_t* command, int32_t length, int32_t capacity, uint8_t* frameOut = nullptr);
  const ReaderReply& reply() const { return reply_; }

  // The response `data` (n bytes); RFRW_SUCCESS, or RFRW_ERROR_PARAMETER
  // with the buffer-length line when it does not fit the capacity.
  int32_t Answer(const uint8_t* data, int32_t n);
  int32_t Answer(const std::vector<uint8_t>& data) { return Answer(data.data(), static_cast<int32_t>(data.size())); }
  // The two bytes of `sw`.
  int32_t AnswerStatus(uint16_t sw);
  // The status word of the last reply.
  int32_t AnswerStatusWord() { return AnswerStatus(reply_.StatusWord()); }
  // The response already written into the area (its length in the area's
  // length) with `result`; for handlers that build their responses in place
  // and for internal commands, which hand back a frame.
  int32_t Finish(int32_t result);
  // The out line shows `frame` (the last reply's frame, copied there)
  // instead of the response.
  void ShowFrame(const uint8_t* frame) { shownFrame_ = frame; }
  // One exchange of `command` whose response frame lands in `frameOut`
  // (capacity + 3 bytes), which the out line then shows.
  int32_t ExchangeInto(const std::vector<uint8_t>& command, int32_t capacity, uint8_t* frameOut) {
    ShowFrame(frameOut);
    return Exchange(command.data(), static_cast<int32_t>(command.size()), capacity, frameOut);
  }

 private:
  int32_t FailV(int32_t result, const char* format, va_list args);

  uint32_t port_;
  const char* outFormat_;
  int32_t* receiveLength_;
  uint8_t* rcvData_;
  int32_t capacity_;
  int32_t result_ = 0;
  int32_t answered_ = 0;
  const uint8_t* shownFrame_ = nullptr;
  ReaderReply reply_;
};

}  // namespace zq::drv
