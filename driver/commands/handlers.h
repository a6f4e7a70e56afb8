// The reader control commands: the handlers the routing table calls, the
// internal commands the driver itself sends (open, power control,
// recovery, firmware check), and the bridge commands. Each follows the
// shape of HandlerCall (exchange.h) and returns a result of
// include/ZELQUAR_Drv.h or the link's status: a reader refusal is result
// 0 with the reader's status word as the response.
//
// Application handlers take (SendLength, the command, ReceiveLength in/out,
// RcvData). Internal commands that hand back a response frame write it
// (head and body) into RespData.
#pragma once

#include <cstdint>

#include "driver/commands/command_encoding.h"

namespace zq::drv {

// Response frames of internal commands fit this many bytes.
inline constexpr int32_t kInternalFrameSize = kSetUpReplyCapacity + 3;
// The frame internal_SndRcvSpeed hands back.
inline constexpr int32_t kSpeedFrameSize = kSpeedReplyCapacity + 3;

// ---- forwarders (forwarders.cc): the command as it is, the reply body back ----
int32_t Internal_RWSetUpCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t Internal_RWGetInfo2CMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t Internal_RWCarrierSenseCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t Internal_RWModeSetUpCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// Classes 0xC0 and above lose their top two bits on the way unless the
// driver is in pass-through mode, where every command goes as it is.
int32_t Internal_RWPassThroughCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);

// ---- settings (settings.cc) ----
// 00 18 P1 00: the power level, tried three times while the reader refuses.
int32_t Internal_PowerLevelSetCMD(uint8_t p1, int32_t* receiveLength, uint8_t* respData);
// 00 30 P1 P2 Lc D1 ...: send/receive mode, speeds and channel mask.
int32_t SndRcvModeSetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// The three set-up exchanges of the send/receive settings (speed word, P1,
// channel). Always 0: *rcvLen 2 and a 90 00 frame in rcvData
// (kSpeedFrameSize bytes) when all three were accepted, else the refusing
// reply's frame and body length, or after a failed exchange the frame
// "error low byte, 64 00" with *rcvLen 3.
int32_t internal_SndRcvSpeed(uint8_t p1, uint8_t p2, uint32_t mode, uint8_t delimita, uint8_t sndSpeed, uint8_t rcvSpeed,
                             uint32_t chanel, uint8_t time, int32_t* rcvLen, uint8_t* rcvData);

// ---- information (information.cc) ----
// 00 05 P1 00: the information block (P1 0), the reader type (0x12), the
// firmware version (0x16).
int32_t Internal_RWGetInfomationCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// 20 10 P1 P2: the antenna level of channel P1 at level P2.
int32_t ANTLevelGetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// 20 20 00 P2: raw (1) or converted (0) signal strengths in inventories.
int32_t RssiModeSetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// The library's file version: 8 bytes, RFRW_GetDllVersion's answer.
int32_t Internal_GetFileVersionCMD(int32_t* receiveLength, uint8_t* respData);
// The 8 version bytes themselves (four big-endian 16-bit parts). Pure.
void FileVersionBytes(uint8_t out[8]);
// Converts two raw signal bytes in place (most significant first).
void ConvRSSI(uint8_t* rssi);

// ---- internal commands (internal_commands.cc) ----
// PowerData 0 or 3: the reader's RF power; the response frame in respData
// (kInternalFrameSize bytes).
int32_t Internal_PowerCtrlCMD(int32_t powerData, uint8_t* respData);
// The operating mode: 0 when the reader answered 90 00, else
// RFRW_ERROR_EXCHANGE (or the exchange's failure).
int32_t Internal_FarmModeCMD(uint8_t* respData);
// The firmware version query, unchecked: frame in respData.
int32_t Internal_DownLoadVLCMD(uint8_t* respData);
// Fetches the reader's log into the driver's log (level 0).
int32_t Internal_RWGetLogCMD(uint8_t p2);

// ---- bridge commands (bridge_commands.cc) ----
int32_t Cp2110GpioRead(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t Cp2110GpioWrite(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t GetCp2110SerialString(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t SetCp2110SerialString(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);

}  // namespace zq::drv
