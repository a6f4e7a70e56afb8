// Sections: the rules on data; group look-ups; the rules applied to this
// process.
#include "platform/os/access.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <vector>

#include "platform/os/syscalls.h"

namespace zq::platform {

// ---- the rules on data --------------------------------------------------------

namespace {

constexpr uint32_t kOthersBits = 0007;
constexpr uint32_t kGroupBits = 0070;
constexpr uint32_t kGroupWrite = 0020;
constexpr uint32_t kOthersWrite = 0002;

bool TrustedOwner(uint32_t owner, const Trust& who) {
  if (owner == 0 || owner == who.self) return true;
  return who.readerGroup && who.inReaderGroup && who.inReaderGroup(owner);
}

}  // namespace

Verdict JudgeObject(const ObjectFacts& facts, ObjectKind expected, std::optional<uint64_t> size, const Trust& who) {
  if (facts.kind != expected) return Verdict::kWrongKind;
  if (!TrustedOwner(facts.owner, who)) return Verdict::kForeignOwner;
  if ((facts.permissions & kOthersBits) != 0) return Verdict::kOpenToOthers;
  if ((facts.permissions & kGroupBits) != 0 && (!who.readerGroup || facts.group != *who.readerGroup)) {
    return Verdict::kForeignGroup;
  }
  if (size && facts.size != *size) return Verdict::kWrongSize;
  return Verdict::kTrusted;
}

namespace {

Verdict JudgeFoundByName(const ObjectFacts& facts, ObjectKind expected, const Trust& who) {
  if (facts.kind != expected) return Verdict::kWrongKind;
  if (facts.owner != 0 && facts.owner != who.self) return Verdict::kForeignOwner;
  if ((facts.permissions & kOthersWrite) != 0) return Verdict::kOpenToOthers;
  if ((facts.permissions & kGroupWrite) != 0 && (!who.readerGroup || facts.group != *who.readerGroup)) {
    return Verdict::kForeignGroup;
  }
  return Verdict::kTrusted;
}

}  // namespace

Verdict JudgeDirectory(const ObjectFacts& facts, const Trust& who) {
  return JudgeFoundByName(facts, ObjectKind::kDirectory, who);
}

Verdict JudgeFileFoundByName(const ObjectFacts& facts, const Trust& who) {
  return JudgeFoundByName(facts, ObjectKind::kRegular, who);
}

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::kTrusted:
      return "trusted";
    case Verdict::kWrongKind:
      return "not the kind of object expected";
    case Verdict::kWrongSize:
      return "not the size expected";
    case Verdict::kForeignOwner:
      return "owned by a user outside root, this user and group zelquar";
    case Verdict::kOpenToOthers:
      return "open to every user";
    case Verdict::kForeignGroup:
      return "open to a group other than zelquar";
  }
  return "refused";
}

Creation CreationFor(std::optional<uint32_t> readerGroup, bool mayUseGroup) {
  Creation c;
  if (readerGroup && mayUseGroup) {
    c.permissions = 0660;
    c.group = readerGroup;
  }
  return c;
}

// ---- group look-ups -------------------------------------------------------------

namespace {

// Runs a reentrant database look-up with a buffer that grows while the
// answer does not fit (a group with many members).
template <typename Lookup>
bool LookUp(std::vector<char>& buf, Lookup lookup) {
  for (;;) {
    const int rc = lookup(buf.data(), buf.size());
    if (rc != ERANGE || buf.size() >= (1u << 24)) return rc == 0;
    buf.resize(buf.size() * 2);
  }
}

std::optional<uint32_t> ReaderGroupId() {
  std::vector<char> buf(16384);
  struct group grp {};
  struct group* found = nullptr;
  if (!LookUp(buf, [&](char* b, size_t n) { return ::getgrnam_r(kReaderGroup, &grp, b, n, &found); }) || !found) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(found->gr_gid);
}

bool UserIsMember(uint32_t uid, uint32_t gid) {
  std::vector<char> pbuf(16384);
  struct passwd pw {};
  struct passwd* user = nullptr;
  if (!LookUp(pbuf, [&](char* b, size_t n) { return ::getpwuid_r(uid, &pw, b, n, &user); }) || !user) return false;
  if (static_cast<uint32_t>(user->pw_gid) == gid) return true;
  std::vector<char> gbuf(16384);
  struct group grp {};
  struct group* found = nullptr;
  if (!LookUp(gbuf, [&](char* b, size_t n) { return ::getgrgid_r(gid, &grp, b, n, &found); }) || !found) return false;
  for (char** m = found->gr_mem; m && *m; ++m) {
    if (std::strcmp(*m, user->pw_name) == 0) return true;
  }
  return false;
}

bool ProcessInGroup(uint32_t gid) {
  if (static_cast<uint32_t>(::getegid()) == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> ids(static_cast<size_t>(count));
  const int got = ::getgroups(count, ids.data());
  for (int i = 0; i < got; ++i) {
    if (static_cast<uint32_t>(ids[static_cast<size_t>(i)]) == gid) return true;
  }
  return false;
}

// The answers of the membership test, a few users' worth (a session has
// few owners); when full, further users are looked up each time.
struct MemberAnswer {
  uint32_t uid;
  bool member;
};

struct ProcessRules {
  Trust trust;
  Creation creation;
  std::mutex lock;
  MemberAnswer answers[16];
  size_t answered = 0;
};

ProcessRules& Rules();

bool InReaderGroup(uint32_t uid) {
  ProcessRules& r = Rules();
  if (!r.trust.readerGroup) return false;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    for (size_t i = 0; i < r.answered; ++i) {
      if (r.answers[i].uid == uid) return r.answers[i].member;
    }
  }
  const bool member = UserIsMember(uid, *r.trust.readerGroup);
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.answered < std::size(r.answers)) r.answers[r.answered++] = {uid, member};
  return member;
}

// In static storage and never destroyed: the library's detach code judges
// objects after C++ destructors have run, and a library that is loaded and
// unloaded again and again (the comm library) keeps nothing on the heap.
ProcessRules& Rules() {
  alignas(ProcessRules) static unsigned char storage[sizeof(ProcessRules)];
  static ProcessRules* rules = [] {
    auto* r = new (storage) ProcessRules;
    r->trust.self = static_cast<uint32_t>(::geteuid());
    r->trust.readerGroup = ReaderGroupId();
    r->trust.inReaderGroup = &InReaderGroup;
    const bool mayUse = r->trust.readerGroup && (r->trust.self == 0 || ProcessInGroup(*r->trust.readerGroup));
    r->creation = CreationFor(r->trust.readerGroup, mayUse);
    return r;
  }();
  return *rules;
}

ObjectKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return ObjectKind::kRegular;
  if (S_ISDIR(mode)) return ObjectKind::kDirectory;
  if (S_ISSOCK(mode)) return ObjectKind::kSocket;
  return ObjectKind::kOther;
}

ObjectFacts FactsFromStat(const struct stat& st) {
  ObjectFacts f;
  f.kind = KindOf(st.st_mode);
  f.owner = static_cast<uint32_t>(st.st_uid);
  f.group = static_cast<uint32_t>(st.st_gid);
  f.permissions = static_cast<uint32_t>(st.st_mode) & 07777;
  f.size = static_cast<uint64_t>(st.st_size);
  return f;
}

// Gives `fd` the creation's group and bits, optionally with other bits
// (a directory's execute bits).
bool Apply(int fd, const Creation& c, uint32_t extraBits) {
  if (c.group && ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(*c.group)) != 0) return false;
  return ::fchmod(fd, static_cast<mode_t>(c.permissions | extraBits)) == 0;
}

}  // namespace

// ---- the rules applied to this process -----------------------------------------

const Trust& ProcessTrust() { return Rules().trust; }

Creation ProcessCreation() { return Rules().creation; }

bool ApplyCreation(int fd) { return Apply(fd, ProcessCreation(), 0); }

bool FactsOf(int fd, ObjectFacts* facts) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *facts = FactsFromStat(st);
  return true;
}

namespace {
thread_local Verdict t_lastRefusal = Verdict::kTrusted;
}  // namespace

Verdict LastRefusal() { return t_lastRefusal; }
void NoteRefusal(Verdict verdict) { t_lastRefusal = verdict; }

Verdict JudgeOpenObject(int fd, ObjectKind expected, std::optional<uint64_t> size) {
  ObjectFacts facts;
  const Verdict v = FactsOf(fd, &facts) ? JudgeObject(facts, expected, size, ProcessTrust()) : Verdict::kWrongKind;
  if (v != Verdict::kTrusted) NoteRefusal(v);
  return v;
}

Verdict CheckDirectory(const std::string& path, bool create, bool forReaderGroup, int* systemError) {
  if (systemError) *systemError = 0;
  auto fail = [&](int err) {
    if (systemError) *systemError = err;
    return Verdict::kWrongKind;
  };
  int fd = Sys().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0 && errno == ENOENT && create) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return fail(errno);
    fd = Sys().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return fail(errno);
    ObjectFacts facts;
    // Made by this call (not by someone who raced it): give it its rights.
    if (FactsOf(fd, &facts) && facts.owner == ProcessTrust().self && forReaderGroup) {
      Creation c = ProcessCreation();
      c.permissions = c.group ? 0770 : 0700;
      (void)Apply(fd, c, 0);
    }
  }
  if (fd < 0) return fail(errno);
  ObjectFacts facts;
  const bool known = FactsOf(fd, &facts);
  const int err = errno;
  ::close(fd);
  if (!known) return fail(err);
  return JudgeDirectory(facts, ProcessTrust());
}

int OpenDataFileForAppend(const std::string& path) {
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  int fd = Sys().open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    if (!ApplyCreation(fd)) {
      // Still 0600 (or narrower through the umask): usable by its creator.
    }
    return fd;
  }
  if (errno != EEXIST) {
    if (errno == ELOOP) errno = EACCES;  // a symbolic link is refused, never followed
    return -1;
  }
  fd = Sys().open(path.c_str(), flags, 0);
  if (fd < 0) {
    if (errno == ELOOP) errno = EACCES;
    return -1;
  }
  ObjectFacts facts;
  if (!FactsOf(fd, &facts)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  const Trust& who = ProcessTrust();
  Verdict v = JudgeObject(facts, ObjectKind::kRegular, std::nullopt, who);
  // A file of this user that an earlier version left readable by everyone
  // is narrowed, not refused: only its owner could have made it so.
  if ((v == Verdict::kOpenToOthers || v == Verdict::kForeignGroup) && facts.owner == who.self) {
    if (ApplyCreation(fd)) v = Verdict::kTrusted;
  }
  if (v != Verdict::kTrusted) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

int OpenChosenFileForAppend(const std::string& path) {
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = Sys().open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    (void)ApplyCreation(fd);
    return fd;
  }
  if (errno != EEXIST) return -1;
  fd = Sys().open(path.c_str(), flags, 0);
  if (fd < 0) return -1;
  ObjectFacts facts;
  if (!FactsOf(fd, &facts) || facts.kind != ObjectKind::kRegular) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

bool AppendToDataFile(const std::string& path, const void* data, size_t length) {
  const int fd = OpenDataFileForAppend(path);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = Sys().write(fd, data, length);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(length);
}

bool PrepareDataFile(const std::string& path) {
  const int fd = OpenDataFileForAppend(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::FILE* StreamOf(int fd, const char* mode) {
  std::FILE* f = ::fdopen(fd, mode);
  if (!f) ::close(fd);
  return f;
}

}  // namespace zq::platform
