// The API side (D level) of a port's channel to its link thread: sending a
// request, receiving the response, one whole exchange, and the start and
// end of the link thread.
#pragma once

#include <cstdint>

#include "driver/link/level_message.h"

namespace zq::drv {

struct PortEntry;

using LinkThreadProc = uint32_t (*)(void*);

int32_t k_CM_SendMsg(uint32_t port, platform::PipeEnd* pipe2Write, platform::Event* event2, const uint8_t* message,
                     int32_t length);
int32_t k_CM_RecvMsg(uint32_t port, platform::PipeEnd* pipe1Read, uint8_t* buffer, int32_t capacity, int32_t* length);

// One request/response exchange on the port entry named in the request's
// header. kLinkOk, kLinkChannelFailed, kLinkFailed (the link kept failing
// past the resend window) or another status the link answered.
int32_t k_CM_TransmitMsg(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response,
                         int32_t responseCapacity);

// Unpacks a response frame: the status word from its last two body bytes
// and, when `dataLength` is given, the body without the status word.
int32_t k_MakeRecvDat(uint32_t port, const uint8_t* frame, uint16_t* statusWord, int32_t* dataLength,
                      uint8_t* data);

// Starts the link thread of `entry` (kLinkOk, kLinkChannelFailed, or the
// status the new thread answered) and ends it in order (under the unit's RW
// mutex).
int32_t k_L_Level_Init(uint32_t port, LinkThreadProc procedure, PortEntry& entry);
void k_L_Level_End(uint32_t port, PortEntry& entry);

// Closes the API side's channel objects and stops the link thread, without
// the end exchange (process detach, failed start).
void k_ForcedClose(PortEntry& entry);

// Frees the request and response buffers of `entry` (set while its link runs).
void FreeLinkBuffers(PortEntry& entry);

// The response wait of an exchange with the given reader timeout:
// twice the timeout, raised to `retryTimeoutMs`, plus 120000 ms, within
// 0 .. INT32_MAX. Pure.
int64_t ResponseWaitMs(int32_t timeoutMs, int32_t retryTimeoutMs);

}  // namespace zq::drv
