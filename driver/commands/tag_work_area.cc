#include "driver/commands/tag_work_area.h"

#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"

namespace zq::drv {
namespace {

// The bit writer's trace lines, for the port the calling thread addresses.
class LogBitTrace final : public BitWriteTrace {
 public:
  void Appending(size_t totalBits, size_t setBits, size_t setBytes) override {
    OutputLog(LogLevel::kDetail, CurrentPort(), nullptr, 0, "Call total_bit=%d set_bit=%d set_byte=%d",
              static_cast<int>(totalBits), static_cast<int>(setBits), static_cast<int>(setBytes));
  }
  void Appended(size_t totalBits) override {
    OutputLog(LogLevel::kDetail, CurrentPort(), nullptr, 0, "Ret  total_bit=%d", static_cast<int>(totalBits));
  }
};

LogBitTrace g_logBitTrace;  // stateless: one for every thread

}  // namespace

EpcReplyArea& EpcBuffer() {
  thread_local EpcReplyArea area{};
  return area;
}

Gen2BitWriter& TagBitWriter() {
  thread_local Gen2BitWriter writer(&g_logBitTrace);
  return writer;
}

}  // namespace zq::drv
