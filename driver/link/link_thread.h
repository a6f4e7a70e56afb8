// The link thread (L level) of a port: frames each request for the reader,
// collects and checks the reply under the answer and character timeouts,
// repeats the exchange once when it goes wrong, and answers the API side.
#pragma once

#include <cstdint>

#include "driver/link/level_message.h"

namespace zq::drv {

struct PortEntry;
struct PortDataArea;
struct LinkTransport;

// The link thread's states: where in the reader's reply frame the next byte
// falls. The log's "Status = %d" prints them as numbers.
enum LinkState : int32_t {
  kLinkIdle = 0,         // no exchange: waiting for the next request
  kLinkAddress = 1,      // request sent: waiting for the reply's address byte
  kLinkLengthHigh = 2,   // the length's high byte
  kLinkLengthLow = 3,    // the length's low byte
  kLinkPayload = 4,      // the payload's bytes
  kLinkCheckByte = 5,    // the block check byte
};

// One port's link-thread state; owned by its thread.
struct LinkContext {
  platform::PipeEnd* requestPipe;   // pipe 2, read end
  platform::Event* requestEvent;    // event 2
  platform::PipeEnd* replyPipe;     // pipe 1, write end
  platform::Event* replyEvent;      // event 1
  PortEntry* portEntry;
  uint32_t port;
  PortDataArea* transport;
  const LinkTransport* io;   // the process's transport table when the thread started
  LinkState state;
  int32_t waitTime;          // ms; -1 without limit
  int32_t answerTimeout;
  int32_t requestDataLength; // request frame without its check byte
  uint8_t sequenceBit;
  int32_t repeatCount;
  int32_t recvTotal;         // RWRecvTotal
  int32_t recvNowCount;      // RWRecvNowCount
  int32_t recvDataLength;    // RWRecvDATLen
  int32_t recvCompDataLength;  // RWRecvCompDATLen
  // The last read returned fewer bytes than the frame still needed: they
  // stopped for the whole wait, so the next event is its timeout.
  bool bytesStopped;
  int32_t errorStatus;
  int32_t errorDetail;
  int32_t characterTimeout;
  int32_t retryTimeout;
  uint8_t* rwRecvBuffer;     // 65536
  uint8_t* rwSendBuffer;     // 1558
  uint8_t* dRecvBuffer;      // 1582
  uint8_t* dSendBuffer;      // 65560
};

// The thread procedure; its argument is the process's ThreadStartRecord.
// Counted among the running link threads from k_L_Level_Init's start of it
// until its very last step.
uint32_t Llevel_Thread(void* startRecord);

// Link threads of this process that have not finished, including those left
// running after their stop bound passed: while any runs, the shared records
// it may still read must stay mapped. Thread-safe; never blocks.
int LinkThreadsRunning();
// The last step of a link thread (only Llevel_Thread and a start that failed
// call it).
void LinkThreadEnded();

// Called by the API side when a port whose link thread still runs is opened
// again: drops requests left in the request pipe and returns the thread to
// idle.
void Llevel_Initialize(PortEntry& entry, LinkContext& context);

}  // namespace zq::drv
