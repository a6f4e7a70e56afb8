// The operations on one tag addressed by its PC and EPC: read, write, lock
// and kill. Each selects the tag, has the reader singulate it (the reader
// must report exactly that tag), and then talks to it by its handle.
//
// Sections: the steps of an operation; addressing one tag; read; write;
// lock; kill.
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"
#include "driver/commands/tag_commands.h"
#include "driver/commands/tag_operations.h"
#include "driver/commands/tag_reply.h"
#include "driver/commands/tag_work_area.h"
#include "driver/log/output_log.h"
#include "protocol/frame.h"

namespace zq::drv {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// ---- the steps of an operation --------------------------------------------------

// The running state of one tag operation: its result, the last check of a
// reply in the thread's reply area, and the status response it ends with
// when a check fails.
class TagSteps {
 public:
  TagSteps(int32_t* receiveLength, uint8_t* rcvData, uint32_t flags)
      : length_(receiveLength), out_(rcvData), flags_(flags) {}

  uint8_t* frame() { return frame_; }
  const uint8_t* body() const { return frame_ + protocol::kFrameHeadLength; }
  int32_t bodyLength() const { return static_cast<int32_t>(protocol::PayloadLength(frame_)); }
  // Two body bytes from `at` as a word (the handle or RN16 of a reply).
  uint16_t Word(int32_t at) const { return Be16(body() + at); }
  uint16_t StatusWord() const { return FrameStatusWord(frame_); }
  int32_t status() const { return status_; }

  // An exchange's result: false when it failed (the operation ends with it).
  bool Sent(int32_t result) {
    if (result != 0) status_ = result;
    return result == 0;
  }
  // CheckDspResponse of the reply (kCheckPassed, or the failed result kept
  // for Respond).
  int32_t Check(int32_t minLen, const uint8_t* expectPcEpc = nullptr) {
    int32_t iLen = 0;
    return checked_ = CheckDspResponse(&status_, &iLen, frame_, minLen, &rStatus_, &sw1_, &sw2_, expectPcEpc);
  }
  // The exchange and its check; false when either failed, with the status
  // response made.
  bool Passed(int32_t result, int32_t minLen, const uint8_t* expectPcEpc = nullptr) {
    if (!Sent(result)) return false;
    if (Check(minLen, expectPcEpc) == kCheckPassed) return true;
    Respond(0);
    return false;
  }
  // The status response of the last failed check.
  void Respond(uint8_t extra) { MakeResponseReadCmd(&status_, checked_, rStatus_, sw1_, sw2_, length_, out_, flags_, extra); }

 private:
  uint8_t* frame_ = EpcBuffer().data();
  int32_t* length_;
  uint8_t* out_;
  uint32_t flags_;
  int32_t status_ = RFRW_SUCCESS;
  int32_t checked_ = kCheckNotRun;
  uint8_t rStatus_ = 0, sw1_ = 0, sw2_ = 0;
};

// ---- addressing one tag ---------------------------------------------------------

// Selects the tag of `pcEpc` and acquires its handle. False when the
// operation ends here (a failed exchange, or a reply that failed its check
// and became the status response).
bool AddressTag(TagSteps& s, const uint8_t* pcEpc, uint16_t* handle) {
  // The PC word and the EPC sit from bit 16 of the EPC bank, after StoredCRC.
  constexpr uint32_t kPcBitAddress = 16;
  if (!s.Passed(Internal_EPC_SelectCMD(kBankEpc, kPcBitAddress, static_cast<uint32_t>(PcEpcBitLength(pcEpc[0])), pcEpc,
                                       s.frame()),
                2)) {
    return false;
  }
  if (!s.Passed(Internal_EPC_GetHandleCMD(0, s.frame()), 6, pcEpc)) return false;
  // The handle is the two bytes ahead of the status word.
  *handle = s.Word(s.bodyLength() - 4);
  return true;
}

// The access password sequence (mode 1: a zero password sends nothing).
// False when the operation ends: an exchange failed (`*result` its
// failure), or a check failed and its status response is the answer.
bool Authorize(uint16_t* handle, const uint8_t password[4], uint32_t flags, HandlerCall& call, int32_t* receiveLength,
               uint8_t* rcvData, int32_t* result) {
  int32_t length = call.capacity();
  *result = Internal_EPC_AccessPasswordCMD(handle, password, 1, flags, &length, rcvData);
  if (*result != 0) return false;
  if (length == 0) return true;
  *receiveLength = length;
  return false;
}

// The status word of the last reply as the two-byte answer of a
// completed operation; `name`'s "(4)" line when the area is too small.
int32_t AnswerLastStatus(HandlerCall& call, const TagSteps& s, const char* name) {
  if (call.capacity() < 2) return call.Refuse("★%s(4) RecvLen=%d  iLen=%d", name, call.capacity(), 2);
  return call.AnswerStatus(s.StatusWord());
}

constexpr uint8_t kNoPassword[4] = {0, 0, 0, 0};

int32_t AddressLength(uint8_t p2) {
  switch (p2 & 3) {
    case 1: return 3;
    case 3: return 4;
    default: return 1;
  }
}

}  // namespace

// ---- read ---------------------------------------------------------------------

int32_t EPC_TagDataRead(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank, uint32_t address,
                        uint8_t wordCount, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_TagDataRead Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★EPC_TagDataRead Call  Le=0x%04x P1=0x%02x P2=0x%02x D2=0x%02x D3=0x%x D4=0x%02x RecvLen=0x%04x", lc, p1, p2,
            bank, address, wordCount, static_cast<unsigned>(call.capacity()));
  const int32_t pcEpcLength = PcEpcByteLength(data[0]);
  const int32_t expectedLc = pcEpcLength + AddressLength(p2) + ((p1 & 0x02) ? 4 : 0) + 2;
  if (bank > kBankUser || wordCount == 0 || (p1 & ~0x02) != 0 || (p2 != 0 && p2 != 1 && p2 != 3) || lc != expectedLc ||
      !rcvData) {
    return call.Refuse("★EPC_TagDataRead ParamError Return iRet = 0x%x   RecvLen = 0x%x",
                       static_cast<unsigned>(RFRW_ERROR_PARAMETER), static_cast<unsigned>(call.capacity()));
  }
  const uint8_t* password = (p1 & 0x02) ? data + pcEpcLength : kNoPassword;
  TagSteps s(receiveLength, rcvData, 0);
  uint16_t handle = 0;
  int32_t result = RFRW_SUCCESS;
  if (!AddressTag(s, data, &handle)) return call.Finish(s.status());
  if (!Authorize(&handle, password, 0, call, receiveLength, rcvData, &result)) return call.Finish(result);
  if (!s.Passed(Internal_EPC_ReadCMD(bank, address, wordCount, handle, s.frame()), 8)) return call.Finish(s.status());

  // The rewritten body: 01, the words, the handle and the CRC-16, the status word.
  const int32_t b = s.bodyLength();
  const int32_t n = b - 5;
  if (call.capacity() < n) return call.Refuse("★EPC_TagDataRead(4) RecvLen=%d  iLen=%d", call.capacity(), n);
  std::memmove(rcvData, s.body() + 1, static_cast<size_t>(b - 7));
  std::memmove(rcvData + b - 7, s.body() + b - 2, 2);
  *receiveLength = n;
  return call.Finish(RFRW_SUCCESS);
}

// ---- write --------------------------------------------------------------------

int32_t EPC_TagDataWrite(uint16_t lc, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t bank, uint32_t address,
                         const uint8_t* writePart, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_TagDataWrite Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  const int32_t writeLength = lc - static_cast<int32_t>(writePart - data);
  if ((p2 & 3) == 2 || writeLength < 2 || writeLength > 256 || (writeLength & 1) != 0 || p1 > 3 || p2 > 3 ||
      bank > kBankUser || !rcvData) {
    return call.Refuse("★EPC_TagDataWrite ParamError RecvLen=%d  iLen=%d", call.capacity(), writeLength);
  }
  const int32_t words = writeLength / 2;
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★EPC_TagDataWrite Call Le=0x%04x P1=0x%02x P2=0x%02x D2=0x%02x D3=0x%x D4=0x%02x%02x wLoopCnt=%d", lc, p1, p2,
            bank, address, writePart[0], writePart[1], words);
  const uint8_t* password = (p1 & 0x02) ? data + PcEpcByteLength(data[0]) : kNoPassword;
  TagSteps s(receiveLength, rcvData, p1);
  uint16_t handle = 0;
  int32_t result = RFRW_SUCCESS;
  if (!AddressTag(s, data, &handle)) return call.Finish(s.status());
  if (!Authorize(&handle, password, p1, call, receiveLength, rcvData, &result)) return call.Finish(result);

  // A reader failure or a bad CRC-16 (check result 10) is tried again from
  // a new Req_RN, kWriteRetries times over the whole operation.
  constexpr int32_t kWriteRetries = 9;
  int32_t retries = 0;
  int32_t written = 0;
  while (written < words) {
    int32_t checked = kCheckPassed;
    const char* retryLine = "★★★★★EPC_TagDataWrite RequestRNCMD Retry";
    if (!s.Sent(Internal_EPC_RequestRNCMD(handle, s.frame()))) return call.Finish(s.status());
    if ((checked = s.Check(kMinHandleReplyBody)) == kCheckPassed) {
      const uint16_t rn16 = s.Word(1);
      const uint16_t word = Be16(writePart + 2 * written);
      if (!s.Sent(Internal_EPC_WriteCMD(bank, address + static_cast<uint32_t>(written), word, handle, rn16, s.frame()))) {
        return call.Finish(s.status());
      }
      checked = s.Check(kMinHandleReplyBody);
      retryLine = "★★★★★EPC_TagDataWrite WriteCMD Retry";
    }
    if (checked == kCheckPassed) {
      ++written;
      continue;
    }
    if (checked != kCheckFailed || retries == kWriteRetries) {
      s.Respond(static_cast<uint8_t>(written));
      return call.Finish(s.status());
    }
    ++retries;
    OutputLogText(LogLevel::kStep, CurrentPort(), nullptr, 0, retryLine);
  }
  return AnswerLastStatus(call, s, "EPC_TagDataWrite");
}

// ---- lock and kill -------------------------------------------------------------

// The call line and the length checks of a lock or a kill, whose command from
// P1 on is P1 P2 Lc(2), PC+EPC and `trailerLength` bytes (the password, and
// for a lock the payload after it). The PC+EPC, or nullptr after the refusal,
// whose result `*refused` then holds.
namespace {
const uint8_t* PasswordCommandTag(HandlerCall& call, const char* name, uint32_t sendLength, const uint8_t* command,
                                  int32_t trailerLength, const uint8_t* rcvData, int32_t* refused) {
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★%s Call  SndLen=0x%04x SndData=0x%016llX RecvLen=0x%04x RcvData=0x%016llX", name, sendLength,
            Address(command), static_cast<unsigned>(call.capacity()), Address(rcvData));
  const int32_t lc = sendLength >= 5 ? Be16(command + 2) : -1;
  const uint8_t* data = command + 4;
  if (lc < 1 || sendLength != static_cast<uint32_t>(lc) + 4 || lc != PcEpcByteLength(data[0]) + trailerLength ||
      !rcvData) {
    *refused = call.Refuse("★%s ParamError SndLen=0x%04x iLen=0x%04x", name, sendLength, static_cast<unsigned>(lc));
    return nullptr;
  }
  return data;
}
}  // namespace

int32_t EPC_TagLock(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_TagLock Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  int32_t refused = RFRW_SUCCESS;
  // The access password (4) and the payload (3) follow the PC+EPC.
  const uint8_t* data = PasswordCommandTag(call, "EPC_TagLock", sendLength, command, 7, rcvData, &refused);
  if (!data) return refused;
  const uint8_t* password = data + PcEpcByteLength(data[0]);
  const uint8_t* payload = password + 4;
  TagSteps s(receiveLength, rcvData, 0);
  uint16_t handle = 0;
  int32_t result = RFRW_SUCCESS;
  if (!AddressTag(s, data, &handle)) return call.Finish(s.status());
  if (!Authorize(&handle, password, 0, call, receiveLength, rcvData, &result)) return call.Finish(result);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Payload[0][1][2]=0x%02x%02x%02x", payload[0], payload[1],
            payload[2]);
  if (!s.Passed(Internal_EPC_LockCMD(payload, handle, s.frame()), 6)) return call.Finish(s.status());
  return AnswerLastStatus(call, s, "EPC_TagLock");
}

int32_t EPC_TagKill(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_TagKill Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  int32_t refused = RFRW_SUCCESS;
  // The kill password (4) follows the PC+EPC.
  const uint8_t* data = PasswordCommandTag(call, "EPC_TagKill", sendLength, command, 4, rcvData, &refused);
  if (!data) return refused;
  const uint8_t* password = data + PcEpcByteLength(data[0]);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "KillPassword=0x%02x%02x%02x%02x", password[0], password[1],
            password[2], password[3]);
  TagSteps s(receiveLength, rcvData, 0);
  uint16_t handle = 0;
  if (!AddressTag(s, data, &handle)) return call.Finish(s.status());
  const KillHalf halves[2] = {KillHalf::kFirst, KillHalf::kSecond};
  for (int half = 0; half < 2; ++half) {
    if (!s.Passed(Internal_EPC_RequestRNCMD(handle, s.frame()), kMinHandleReplyBody)) return call.Finish(s.status());
    const uint16_t covered = CoverCode(PasswordHalf(password, half), s.Word(1));
    if (!s.Passed(Internal_EPC_KillCMD(halves[half], covered, handle, s.frame()), kMinHandleReplyBody)) {
      return call.Finish(s.status());
    }
    if (half == 0) handle = s.Word(1);
  }
  return AnswerLastStatus(call, s, "EPC_TagKill");
}

}  // namespace zq::drv
