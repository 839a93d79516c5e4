#include "platform/file_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace torvane {
namespace {

// As the kernel's own limit on following links in one path.
constexpr int kMaxLinkHops = 40;

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void SetWhy(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

ReplaceResult Fail(ReplaceResult result, std::string* why, const std::string& text) {
  SetWhy(why, text);
  return result;
}

// Follows symbolic links from path to the file that is to be replaced.
// *exists tells whether that file exists; when it does, *st describes it.
bool ResolveTarget(const std::string& path, std::string* target, bool* exists,
                   struct stat* st, std::string* why) {
  std::string p = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    if (lstat(p.c_str(), st) != 0) {
      if (errno != ENOENT) {
        SetWhy(why, strerror(errno));
        return false;
      }
      *target = p;
      *exists = false;
      return true;
    }
    if (!S_ISLNK(st->st_mode)) {
      *target = p;
      *exists = true;
      return true;
    }
    std::vector<char> buf(static_cast<size_t>(st->st_size > 0 ? st->st_size : PATH_MAX) + 1);
    ssize_t n = readlink(p.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) {
      SetWhy(why, n < 0 ? strerror(errno) : "the link changed while it was read");
      return false;
    }
    std::string link(buf.data(), static_cast<size_t>(n));
    // A relative link is relative to the folder that holds it.
    p = (link[0] == '/' || p.find('/') == std::string::npos) ? link : DirName(p) + "/" + link;
  }
  SetWhy(why, strerror(ELOOP));
  return false;
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t w = write(fd, data, size);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

// Flushes the folder, so that the rename itself survives a power cut.
// File systems that cannot flush a folder (EINVAL) have nothing to do.
bool SyncFolder(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0 || errno == EINVAL;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

}  // namespace

ReplaceResult ReplaceFileContent(const std::string& path, const void* data, size_t size,
                                 std::string* why) {
  std::string target;
  bool exists = false;
  struct stat st;
  if (path.empty()) return Fail(ReplaceResult::kNotCreated, why, "the file name is empty");
  if (!ResolveTarget(path, &target, &exists, &st, why)) return ReplaceResult::kNotCreated;
  std::string base = BaseName(target);
  if (exists && S_ISDIR(st.st_mode)) {
    return Fail(ReplaceResult::kNotCreated, why, strerror(EISDIR));
  }
  if (exists && !S_ISREG(st.st_mode)) {
    return Fail(ReplaceResult::kNotCreated, why, "not a regular file");
  }
  if (base.empty() || base == "." || base == "..") {
    return Fail(ReplaceResult::kNotCreated, why, "the path names a folder, not a file");
  }
  // The rename needs only the folder to be writable; a file that its owner
  // made read-only is not replaced behind his back.
  if (exists && access(target.c_str(), W_OK) != 0) {
    return Fail(ReplaceResult::kNotCreated, why, strerror(errno));
  }

  std::string dir = DirName(target);
  std::string tmp = dir + "/.torvane-save-XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  // mkostemp creates the file 0600 under a name that did not exist.
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return Fail(ReplaceResult::kNotCreated, why, strerror(errno));
  tmp = name.data();

  // The error of the first step that failed, and what that step was
  // when it is not plain writing.
  std::string failed;
  int err = 0;
  if (!WriteAll(fd, static_cast<const unsigned char*>(data), size) || fsync(fd) != 0) {
    err = errno;
  } else if (exists && (st.st_uid != geteuid() || st.st_gid != getegid()) &&
             fchown(fd, st.st_uid, st.st_gid) != 0) {
    failed = "cannot keep the owner: ";
    err = errno;
  } else if (exists && fchmod(fd, st.st_mode & 07777) != 0) {
    // After the owner: a change of owner clears the set-user-ID bits.
    failed = "cannot keep the permissions: ";
    err = errno;
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(tmp.c_str());
    return Fail(ReplaceResult::kNotWritten, why, failed + strerror(err));
  }
  if (!SyncFolder(dir)) {
    return Fail(ReplaceResult::kNotWritten, why,
                std::string("saved, but the folder could not be flushed: ") + strerror(errno));
  }
  return ReplaceResult::kReplaced;
}

}  // namespace torvane
