// The three families of named mutexes that serialise work on the port table
// and on each unit across threads and processes. Lock order: a unit's API
// mutex, then the port-list mutex, then the unit's RW mutex.
//
// A take that cannot create or open its mutex logs the failure and returns
// nullptr; the caller then goes on without the lock, and the matching release
// does nothing. A take whose previous owner died takes the mutex anyway.
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
