// Who may share the system's named objects and files.
//
// A reader session is shared by root and by the members of group "zelquar"
// (the group the package creates and the udev rule gives the reader's device
// nodes to), and by nobody else. Every named object (shared section, its
// gate, named mutexes, named events, the mailslot's socket) and every file
// that holds a session's data (log, trace and fatal-error files) is created
// for exactly them: mode 0660 with group "zelquar" when the group exists and
// the creator may give objects to it, else 0600 for the creator alone. The
// modes are set on the object itself, so the process umask can only narrow
// them, and nothing ever widens them.
//
// An object that exists already is used only when it passes JudgeObject:
// the right type (and size, where the caller knows it), no access at all
// for others, group access only for the reader group, and an owner who is
// root, the caller's own user or a member of the reader group. Anything
// else (an object planted by another user, one left with wide permissions)
// is refused, never repaired: a refusal is the caller's clear result.
//
// Directories the stack finds by name (the simulator's directory, and any
// runtime directory) follow JudgeDirectory: owned by the caller's user or
// root, and writable by nobody else (group write only for the reader group).
//
// Sections: the rules on data (pure); the rules applied to this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zq::platform {

inline constexpr const char* kReaderGroup = "zelquar";

// ---- the rules on data --------------------------------------------------------

enum class ObjectKind { kRegular, kDirectory, kSocket, kOther };

// What the system says of an object: as fstat reports it.
struct ObjectFacts {
  ObjectKind kind = ObjectKind::kOther;
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t permissions = 0;  // the 12 permission bits (07777)
  uint64_t size = 0;
};

// The caller's side of a judgement: its effective user, the reader group's
// id (none when the group does not exist here), and how to tell whether a
// user is a member of the reader group.
struct Trust {
  uint32_t self = 0;
  std::optional<uint32_t> readerGroup;
  bool (*inReaderGroup)(uint32_t uid) = nullptr;
};

enum class Verdict {
  kTrusted,
  kWrongKind,        // not the kind of object expected (a directory where a file was, ...)
  kWrongSize,        // not the size the object's layout has
  kForeignOwner,     // owned by a user outside root, the caller and the reader group
  kOpenToOthers,     // others may use it
  kForeignGroup,     // group access for a group other than the reader group
};

// The verdict on an existing named object or data file. `size` is checked
// when given. Pure.
Verdict JudgeObject(const ObjectFacts& facts, ObjectKind expected, std::optional<uint64_t> size, const Trust& who);

// The verdict on a directory found by name: a directory, owned by the
// caller or root, not writable by others, writable by its group only when
// that is the reader group. Pure.
Verdict JudgeDirectory(const ObjectFacts& facts, const Trust& who);

// The same rule for a file the stack finds by name and reads (the firmware
// file): a regular file of the caller or root that nobody else may write.
// Pure.
Verdict JudgeFileFoundByName(const ObjectFacts& facts, const Trust& who);

// Text for log lines and messages: "owned by another user", ... Pure.
const char* VerdictText(Verdict verdict);

// How a new object is made: its permission bits and, when set, the group to
// give it. Pure: `readerGroup` is the group's id (none when it does not
// exist), `mayUseGroup` whether the creator is root or a member.
struct Creation {
  uint32_t permissions = 0600;
  std::optional<uint32_t> group;
};
Creation CreationFor(std::optional<uint32_t> readerGroup, bool mayUseGroup);

// ---- the rules applied to this process -----------------------------------------

// The judgement context of this process (its effective user, the reader
// group as the group database has it). Looked up once per process; the
// membership test reads the user and group databases (may block on a network
// name service) and remembers its answers. Thread-safe.
const Trust& ProcessTrust();

// How this process creates objects. Thread-safe.
Creation ProcessCreation();

// Gives the object open as `fd` (just created by this process) its group
// and permission bits. False with errno when the system refused; the caller
// then removes the object. Never blocks.
bool ApplyCreation(int fd);

// The facts of the object open as `fd`; false with errno on failure.
bool FactsOf(int fd, ObjectFacts* facts);

// Judges the object open as `fd`: kTrusted or the reason to refuse it;
// kWrongKind also when it cannot be looked at. A refusal is also kept as
// the calling thread's LastRefusal().
Verdict JudgeOpenObject(int fd, ObjectKind expected, std::optional<uint64_t> size);

// The reason of the calling thread's last refused object (kTrusted when
// none was refused since ClearRefusal). A call that refuses an object sets
// LastError() to kErrorAccessDenied and this to the reason. Thread-local.
Verdict LastRefusal();
void NoteRefusal(Verdict verdict);
inline void ClearRefusal() { NoteRefusal(Verdict::kTrusted); }

// Opens the directory `path` without following a symbolic link in its last
// component and judges it with JudgeDirectory. Creates it (0700, or 0770
// with the reader group when `forReaderGroup`) when it does not exist and
// `create` is set. Returns kTrusted, or the verdict; *systemError (when
// given) gets the errno of a failed look-up or creation (0 otherwise). Never
// blocks beyond the file system.
Verdict CheckDirectory(const std::string& path, bool create, bool forReaderGroup, int* systemError);

// Opens (creating when absent) the data file `path` for appending, with the
// process's creation rules, refusing a file that exists with wider access,
// a foreign owner, or as a symbolic link. Returns the descriptor, or -1 with
// errno set (EACCES for a refused file). Close-on-exec. Never blocks beyond
// the file system.
int OpenDataFileForAppend(const std::string& path);

// Opens (creating when absent) a file the person running the program named
// for this process alone (a diagnostic output such as the log mirror) for
// appending: a new file gets the creation rules; an existing one is used as
// it is, being that person's choice, but never through a symbolic link and
// only when it is a regular file. Returns the descriptor, or -1 with errno.
int OpenChosenFileForAppend(const std::string& path);

// Appends `length` bytes to the data file `path` (opened as
// OpenDataFileForAppend does) in one write, and closes it. False when the
// file could not be opened or the write fell short.
bool AppendToDataFile(const std::string& path, const void* data, size_t length);

// Makes sure the data file `path` exists with the process's creation rules
// (created when absent, 0600 or 0660 with the reader group), refusing one
// with wider access, a foreign owner or a symbolic link, as
// OpenDataFileForAppend does; for a file that another library then opens
// by its name (a database). False with errno when refused or not made.
bool PrepareDataFile(const std::string& path);

// A stdio stream over the descriptor `fd` (fdopen); on failure the
// descriptor is closed and nullptr returned.
std::FILE* StreamOf(int fd, const char* mode);

}  // namespace zq::platform
