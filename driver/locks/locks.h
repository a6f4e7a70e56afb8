// The three families of named mutexes that serialise work on the port table
// and on each unit across threads and processes. Lock order: a unit's API
// mutex, then the port-list mutex, then the unit's RW mutex.
//
// A take waits at most this process's "LockTimeout". A take that cannot
// create, open or (within that bound) own its mutex logs the failure and
// returns nullptr with LastError() kErrorTimeout (held too long by another
// process), kErrorAccessDenied (an object the access rules refuse) or the
// system's error; the matching release then does nothing. An exported call
// fails on it (ApiMutexHold); the link's own bookkeeping goes on without the
// lock. A take whose previous owner died takes the mutex anyway.
#pragma once

#include <cstdint>
#include <string>

namespace zq::platform {
struct NamedMutex;
}

namespace zq::drv {

using MutexHandle = platform::NamedMutex*;

// "ZELQU_MUTEXOFAPI_R%02x" / "ZELQU_MUTEXOFRW_R%02x" for the unit of `port`,
// and "ZELQU_MUTEXOFLIST". Pure.
std::string ApiMutexName(uint32_t port);
std::string RwMutexName(uint32_t port);
inline constexpr const char* kListMutexName = "ZELQU_MUTEXOFLIST";

MutexHandle k_RFRW_SetMutexAPI(uint32_t port);
MutexHandle k_RFRW_SetMutexList(uint32_t port);  // the port is only logged
MutexHandle k_RFRW_SetMutexRW(uint32_t port);
void k_RFRW_ReleaseMutexAPI(uint32_t port, MutexHandle handle);
void k_RFRW_ReleaseMutexList(uint32_t port, MutexHandle handle);
void k_RFRW_ReleaseMutexRW(uint32_t port, MutexHandle handle);

}  // namespace zq::drv
