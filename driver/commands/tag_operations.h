// The Gen2 tag operations behind the routing table's 08 rows: inventory,
// handle acquisition, raw tag commands, read, write, lock and kill.
//
// The routing table calls them directly. Every exchange goes through the
// calling thread's work areas (tag_work_area.h).
#pragma once

#include <cstdint>

namespace zq::drv {

// The handlers of the routing table. Each returns RFRW_SUCCESS with a response that
// ends in a status word (a reader or tag refusal is such a response),
// RFRW_ERROR_PARAMETER with length 0 for a bad command or a too small
// receive area, or an exchange's failure with length 0.
// tag_operations.cc: inventory, handle acquisition, raw tag commands.
int32_t EPC_GetAllEpcCode(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t EPC_GetHandle(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t EPC_TagCommandTransmit(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
// tag_access.cc: the operations on one tag addressed by its PC and EPC.
int32_t EPC_TagDataRead(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank, uint32_t address,
                        uint8_t wordCount, int32_t* receiveLength, uint8_t* rcvData);
int32_t EPC_TagDataWrite(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank, uint32_t address,
                         const uint8_t* writePart, int32_t* receiveLength, uint8_t* rcvData);
int32_t EPC_TagLock(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);
int32_t EPC_TagKill(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData);

}  // namespace zq::drv
