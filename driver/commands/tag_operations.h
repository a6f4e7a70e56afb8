// The Gen2 tag operations behind the routing table's 08 rows: inventory,
// handle acquisition, raw tag commands, read, write, lock and kill.
//
// The routing reaches them only through kTagHandlers. A member that is
// null is an operation this build does not have: its rows answer
// RFRW_ERROR_PARAMETER with a level-0 line that names it. Every exchange
// goes through the calling thread's work areas (tag_work_area.h).
#pragma once

#include <cstdint>

namespace zq::drv {

// (SendLength, command, ReceiveLength in/out, RcvData), as the other
// handlers; the lock and kill handlers get the command from P1 on and its
// length less 2.
using TagCommandHandler = int32_t (*)(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength,
                                      uint8_t* rcvData);
// (Lc, P1, P2, the data from command byte 6, memory bank, address, word
// count, ReceiveLength, RcvData).
using TagReadHandler = int32_t (*)(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank,
                                   uint32_t address, uint8_t wordCount, int32_t* receiveLength, uint8_t* rcvData);
// The same with the data to write (which runs to the end of the Lc bytes)
// in place of the word count.
using TagWriteHandler = int32_t (*)(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank,
                                    uint32_t address, const uint8_t* writePart, int32_t* receiveLength,
                                    uint8_t* rcvData);

struct TagHandlers {
  TagCommandHandler EPC_GetAllEpcCode;       // 08 01
  TagCommandHandler EPC_GetHandle;           // 08 02
  TagCommandHandler EPC_TagCommandTransmit;  // 08 03
  TagReadHandler EPC_TagDataRead;            // 08 10
  TagWriteHandler EPC_TagDataWrite;          // 08 11
  TagCommandHandler EPC_TagLock;             // 08 12
  TagCommandHandler EPC_TagKill;             // 08 13
};

extern const TagHandlers kTagHandlers;

// The handlers of the table. Each returns RFRW_SUCCESS with a response that
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
