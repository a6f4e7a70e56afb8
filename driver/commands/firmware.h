// The reader firmware check and download of RFRW_Open: the reader's
// firmware version against the firmware file beside the library, and the
// file's blocks sent one exchange each when they differ.
//
// The file: 2 version bytes, 2 bytes not examined, then 39-byte records
// whose first 37 bytes are one download block (the reader's own download
// command, sent as it is) and whose last 2 are not sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::drv {

struct PortEntry;

inline constexpr size_t kFirmwareHeaderLength = 4;
inline constexpr size_t kFirmwareRecordLength = 39;
inline constexpr size_t kFirmwareBlockLength = 37;
// The reader's answer time for one block.
inline constexpr int32_t kFirmwareBlockTimeoutMs = 4000;
// The path buffer the firmware file's name is formed in.
inline constexpr size_t kFirmwarePathSize = 292;

// Brings the reader's firmware up to the firmware file:
//   RFRW_SUCCESS  current (also when the reader's answer to the version
//                 query has no version), or downloaded;
//   RFRW_ERROR_FILE_MISSING  the file cannot be opened;
//   RFRW_ERROR_INTERNAL      the file cannot be read, or it ends in a
//                 record shorter than 39 bytes (a damaged file: nothing of
//                 that record is sent);
//   the version query's failure, or the first failing block's
//   (k_TransmitDownLoadData).
// Under the API mutex with the device attached; CurrentPort() names the
// port of `entry`. A download that fails part-way starts again from the
// first block the next time.
int32_t k_Download_Firm(PortEntry& entry);

// One block (`length` bytes) as one exchange with the reader timeout of
// kFirmwareBlockTimeoutMs: RFRW_SUCCESS when the reader answered 90 00,
// RFRW_ERROR_DEVICE for another status word, else the exchange's failure.
int32_t k_TransmitDownLoadData(PortEntry& entry, const uint8_t* block, int32_t length);

// The firmware file's path from the INI file's "DspFileName": a name
// relative to the library's directory `libraryDir` (with its trailing '/')
// that stays inside it (no ".." step), or an absolute path, which only an
// INI file that only root may change (`absoluteAllowed`) can give.
enum class FirmwarePath {
  kOk,
  kTooLong,          // does not fit kFirmwarePathSize bytes with its terminating zero
  kLeavesDirectory,  // a ".." step, or an absolute path from an INI file others may change
};
FirmwarePath FirmwareFilePath(const std::string& libraryDir, const std::string& fileName, bool absoluteAllowed,
                              std::string* path);

}  // namespace zq::drv
