// The internal tag commands: one reader exchange each (a Gen2 command
// composed in the thread's bit writer and handed to the reader as a tag
// command frame, or one of the reader's own inventory, handle and session
// commands), with the reply checked and rewritten as the tag operations
// read it.
//
// Each writes the response frame (three head bytes, then the body) into
// `respData`, which holds kEpcBufferSize bytes (the thread's EpcBuffer()
// as a rule), logs its call and out lines at level 2 and its "(2)" line at
// level 0 when the exchange failed, and returns k_TransmitMsg's result
// (RFRW_SUCCESS, RFRW_ERROR_PARAMETER or the link's status). A reader or
// tag refusal is a reply, not a failure: the caller checks the frame with
// CheckDspResponse. Calling thread, with the unit's API mutex held.
#pragma once

#include <cstdint>

#include "driver/commands/gen2_frames.h"

namespace zq::drv {

// The reply capacity of the session set-up item.
inline constexpr int32_t kSessionReplyCapacity = 4;

// Select on `memBank` at bit `pointer` of `lengthBits` bits of `mask`
// (none for 0, which matches every tag). A mask longer than 255 bits goes
// as several Selects; the sequence stops at the first that is not
// answered 90 00, whose reply is then the frame.
int32_t Internal_EPC_SelectCMD(uint8_t memBank, uint32_t pointer, uint32_t lengthBits, const uint8_t* mask,
                               uint8_t* respData);
// The session of the inventory rounds: (P2 & 0x30) >> 4 when P1 bit 7 is
// set, else 0.
int32_t Internal_EPC_SessionFlagSet(uint8_t p1, uint8_t p2, uint8_t* respData);
// The reader's inventory 08 01 i r (i P2 bit 2, r P2 & 2). RFRW_ERROR_PARAMETER
// for a body shorter than a status word; a four-byte body reports 0 tags.
int32_t Internal_EPC_GetUIDCMD(uint8_t p2, uint8_t* respData);
// The session set-up (0, 0), then, when the reader took it, the reader's
// handle acquisition 08 02 m 00. A reply ending in 64 02 is cut to 64 02.
int32_t Internal_EPC_GetHandleCMD(uint8_t mode, uint8_t* respData);
// Req_RN and Access: a 90 00 body of 7 bytes or more must carry the
// CRC-16 of the RN16 (handle) in body bytes 1 and 2, else it becomes 06 64 03.
int32_t Internal_EPC_RequestRNCMD(uint16_t handle, uint8_t* respData);
int32_t Internal_EPC_AccessCMD(uint16_t coveredHalf, uint16_t handle, uint8_t* respData);
// Read, Write, Lock and the second Kill half: the reply rewrite of
// tag_reply.h (RewriteTagReply); a bad CRC-16 logs the "(3)" line.
int32_t Internal_EPC_ReadCMD(uint8_t memBank, uint32_t wordPtr, uint8_t wordCount, uint16_t handle, uint8_t* respData);
int32_t Internal_EPC_WriteCMD(uint8_t memBank, uint32_t wordPtr, uint16_t word, uint16_t handle, uint16_t rn16,
                              uint8_t* respData);
int32_t Internal_EPC_LockCMD(const uint8_t payload[3], uint16_t handle, uint8_t* respData);
int32_t Internal_EPC_KillCMD(KillHalf half, uint16_t coveredHalf, uint16_t handle, uint8_t* respData);
// A raw transmission of the bits in `command` (ComposeRawCommand): B the
// low byte of `b12` XOR 2, the application's L1, T1 always 50 (`t1` is
// only logged). The reply is not checked.
int32_t Internal_EPC_TagCommandTransmitCMD(uint16_t b12, uint16_t l1, uint16_t t1, const Gen2BitWriter& command,
                                           uint8_t* respData);

// The access password sequence on the tag of `*handle`: with `mode` 1
// and a password of four zero bytes nothing is sent. Else Req_RN and
// Access for each password half, every reply checked. Success: *handle
// is the handle of the last Access reply and *length 0. A failed check
// stops the sequence with the status response (MakeResponseReadCmd with
// `flags`, extra 0) in `out` (*length: capacity in, its length out).
// RFRW_SUCCESS, an exchange's failure, or RFRW_ERROR_PARAMETER when the
// response does not fit.
int32_t Internal_EPC_AccessPasswordCMD(uint16_t* handle, const uint8_t password[4], int32_t mode, uint32_t flags,
                                       int32_t* length, uint8_t* out);

}  // namespace zq::drv
