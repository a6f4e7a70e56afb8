// Sections: the file's path; one block; the check and download.
#include "driver/commands/firmware.h"

#include <algorithm>
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/link/channel.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/files.h"
#include "platform/os/win32_errors.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

// The download's lines name no port.
constexpr uint32_t kNoPort = 0x200;
// The version query's answer: two version bytes and the status word.
constexpr size_t kVersionReplyLength = 4;

void LogReadFailure(uint32_t systemError) {
  OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_Download_Firm(2) detail = 0x%x  (%d)", systemError, 2134);
}

}  // namespace

// ---- the file's path ----------------------------------------------------------

FirmwarePath FirmwareFilePath(const std::string& libraryDir, const std::string& fileName, bool absoluteAllowed,
                              std::string* path) {
  const bool absolute = !fileName.empty() && fileName[0] == '/';
  *path = absolute ? fileName : libraryDir + fileName;
  if (path->size() >= kFirmwarePathSize) return FirmwarePath::kTooLong;
  if (absolute && !absoluteAllowed) return FirmwarePath::kLeavesDirectory;
  // Any ".." step could climb out of the directory the name is resolved in.
  for (size_t start = 0; start <= fileName.size();) {
    const size_t end = std::min(fileName.find('/', start), fileName.size());
    if (fileName.compare(start, end - start, "..") == 0 && end - start == 2) return FirmwarePath::kLeavesDirectory;
    start = end + 1;
  }
  return FirmwarePath::kOk;
}

// ---- one block ------------------------------------------------------------------

int32_t k_TransmitDownLoadData(PortEntry& entry, const uint8_t* block, int32_t length) {
  const uint32_t port = CurrentPort();
  int32_t result = kLinkChannelFailed;
  if (entry.requestBuffer && entry.responseBuffer) {
    const int32_t requestLength = BuildRequestMessage(port & 0xFF, block, length, kFirmwareBlockTimeoutMs,
                                                      reinterpret_cast<uintptr_t>(&entry), entry.requestBuffer);
    // Under the bridge like every exchange: another unit's reply read by
    // this block's link thread would break the download.
    result = ExchangeOnBridge(port, entry.requestBuffer, requestLength, entry.responseBuffer,
                              static_cast<int32_t>(kResponseBufferSize));
  }
  if (result != 0) {
    OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_TransmitDownLoadData(1) detail = %d  (%d)", result, 2190);
    return result;
  }
  uint16_t sw = protocol::kSwGeneralFailure;
  k_MakeRecvDat(port, entry.responseBuffer + kHeaderSize, &sw, nullptr, nullptr);
  if (sw == protocol::kSwSuccess) return RFRW_SUCCESS;
  OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_TransmitDownLoadData(2) detail = 0x%x  (%d)", sw, 2194);
  return RFRW_ERROR_DEVICE;
}

// ---- the check and download -------------------------------------------------------

int32_t k_Download_Firm(PortEntry& entry) {
  uint8_t version[kInternalFrameSize] = {};
  const int32_t queried = Internal_DownLoadVLCMD(version);
  if (queried != 0) {
    OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_Download_Firm(3) detail = %d  (%d)", queried, 2138);
    return queried;
  }
  if (protocol::PayloadLength(version) != kVersionReplyLength) {
    // A reader that cannot tell its version is left as it is.
    OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_Download_Firm(3) detail = %d  (%d)", 0, 2138);
    return RFRW_SUCCESS;
  }

  std::string path;
  const ProcessConfig& config = Config();
  const FirmwarePath checked = FirmwareFilePath(config.libraryDir, config.dspFileName, config.iniOwnedByRoot, &path);
  char shownPath[kFirmwarePathSize] = {};
  std::memcpy(shownPath, path.data(), path.size() < sizeof shownPath ? path.size() : sizeof shownPath - 1);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "Download Dsp File Name=%s", shownPath);

  platform::InputFile file;
  // A path cut to the buffer would name another file, and one that leaves
  // the library's directory is not the installation's: neither is opened.
  // The file itself must be this installation's too: root's or the user's,
  // and writable by nobody else.
  const uint32_t opened = checked == FirmwarePath::kOk        ? file.OpenFoundByName(path)
                          : checked == FirmwarePath::kTooLong ? platform::kErrorFilenameExceedRange
                                                              : platform::kErrorAccessDenied;
  if (opened != 0) {
    OutputLog(LogLevel::kError, kNoPort, reinterpret_cast<const uint8_t*>(shownPath), sizeof shownPath,
              "D_Error k_Download_Firm(1) detail = 0x%x  (%d),FilePath=", opened, 2127);
    OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "FileOpenError FilePath=0x%x  (%d)", opened, 2129);
    return RFRW_ERROR_FILE_MISSING;
  }

  uint8_t header[kFirmwareHeaderLength];
  size_t got = 0;
  if (const uint32_t e = file.Read(header, sizeof header, &got); e != 0 || got != sizeof header) {
    LogReadFailure(e);
    return RFRW_ERROR_INTERNAL;
  }
  OutputLog(LogLevel::kStep, kNoPort, nullptr, 0, "k_Download  FirmVL = 0x%02x%02x : FileVL = 0x%02x%02x ", version[3],
            version[4], header[0], header[1]);
  const SharedArea* area = Shared();
  if (version[3] == header[0] && version[4] == header[1] && (area ? area->dspAlwaysDownloadMode : 0) != 1) {
    return RFRW_SUCCESS;
  }

  for (;;) {
    uint8_t record[kFirmwareRecordLength];
    const uint32_t e = file.Read(record, sizeof record, &got);
    OutputLog(LogLevel::kStep, kNoPort, nullptr, 0, "k_Download_Firm 一行読込み %d byte", static_cast<int>(got));
    if (e != 0) {
      LogReadFailure(e);
      return RFRW_ERROR_INTERNAL;
    }
    if (got == 0) return RFRW_SUCCESS;  // the end of the file
    if (got < sizeof record) {
      // A record cut short: the file is damaged, and the reader must not
      // get a block made of whatever the buffer held before.
      LogReadFailure(0);
      return RFRW_ERROR_INTERNAL;
    }
    const int32_t sent = k_TransmitDownLoadData(entry, record, static_cast<int32_t>(kFirmwareBlockLength));
    if (sent != 0) {
      OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "D_Error k_Download_Firm(4) detail = %d  (%d)", sent, 2142);
      return sent;
    }
  }
}

}  // namespace zq::drv
