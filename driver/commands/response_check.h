// The check of a reader reply by its status word, and the short responses
// the application gets when a reply fails it. Pure but for their level-4
// (and buffer-length error) log lines, which name CurrentPort().
#pragma once

#include <cstdint>

namespace zq::drv {

// Results of CheckDspResponse.
inline constexpr int32_t kCheckNotRun = -1;          // the handler had already failed
inline constexpr int32_t kCheckPassed = 0;           // 90 00 with the body expected
inline constexpr int32_t kCheckRecovery = 1;         // 64 05 to 64 0E: the reader needs a power-off/on
inline constexpr int32_t kCheckRefused = 2;          // 64 01: passed on unchanged
inline constexpr int32_t kCheckFailed = 10;          // anything else; the status word becomes 64 03
inline constexpr int32_t kCheckStatus15 = 11;        // 64 02: reader status 0x15
inline constexpr int32_t kCheckFailedWithStatus = 12;  // 64 04: the first body byte is the reader status
// MakeResponseReadCmd check results from here on carry no reader status.
inline constexpr int32_t kCheckWithoutStatus = 19;

// The byte and bit lengths of a PC word and the EPC it announces, from the
// PC word's first byte (its top five bits count the EPC's 16-bit words).
constexpr int32_t PcEpcByteLength(uint8_t pc0) { return (pc0 >> 3) * 2 + 2; }
constexpr int32_t PcEpcBitLength(uint8_t pc0) { return (pc0 & 0xF8) * 2 + 16; }

// Classifies `reply` (a response frame as k_TransmitMsg returned it) unless
// *status is already non-zero (then kCheckNotRun, nothing touched). *iLen
// gets the body length, *sw1 *sw2 the status word as the application will
// see it, *rStatus the reader status (4 unless the reply tells one).
// A 90 00 reply passes when its body has at least `minLen` bytes and, with
// `expectPcEpc`, starts with those PC and EPC bytes.
int32_t CheckDspResponse(int32_t* status, int32_t* iLen, const uint8_t* reply, int32_t minLen, uint8_t* rStatus,
                         uint8_t* sw1, uint8_t* sw2, const uint8_t* expectPcEpc);

// The short response after a failed check: the reader status (for check
// results below kCheckWithoutStatus), then `extra` when flags bit 0 is set,
// then Sw1 Sw2. *length: capacity in, response length out (0 for
// kCheckNotRun, and with *status = RFRW_ERROR_PARAMETER when it does not fit).
void MakeResponseReadCmd(int32_t* status, int32_t checkResult, uint8_t rStatus, uint8_t sw1, uint8_t sw2, int32_t* length,
                         uint8_t* out, uint32_t flags, uint8_t extra);

// CheckDspResponse with a minimum body of 6 bytes that must start with
// `expectPcEpc` / with a minimum of 2 bytes. 1 when the reply passed (go on
// with its body); else the short response is made and 0 returned.
int32_t CheckDspResponseWithPcEpc(int32_t* status, int32_t* iLen, const uint8_t* reply, const uint8_t* expectPcEpc,
                                  int32_t* length, uint8_t* out, uint32_t flags);
int32_t CheckDspResponsePlain(int32_t* status, int32_t* iLen, const uint8_t* reply, int32_t* length, uint8_t* out,
                              uint32_t flags);

// The four-byte status response 00 00 Sw1 Sw2 (length 0 for kCheckNotRun).
void MakeStatusResponse(int32_t* status, int32_t checkResult, uint8_t sw1, uint8_t sw2, int32_t* length, uint8_t* out);

}  // namespace zq::drv
