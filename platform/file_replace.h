// Replacing a file's whole content safely.
//
// The new content goes to a temporary file of a unique name in the target's
// own folder, is flushed to the disk, and then takes the target's place in
// one rename, followed by a flush of the folder. A reader therefore sees
// the old content or the new one, never a part, and a failed or
// interrupted save leaves the old file as it was.
//
// - A symbolic link is followed (also a chain of them, also one whose
//   target does not exist yet): the file it points to is replaced and the
//   link stays a link.
// - An existing file keeps its permission bits and its owner and group. A
//   new file is readable and writable by its owner only (0600).
// - The temporary name is short and fixed in length, so any name the file
//   system accepts can be saved, up to its 255-byte limit.
// - Only a regular file is replaced: a folder, FIFO or device is refused.
#pragma once

#include <cstddef>
#include <string>

namespace torvane {

enum class ReplaceResult {
  kReplaced,    // the target holds exactly the new content
  kNotCreated,  // nothing was written: the target or its folder is unusable
  kNotWritten,  // writing failed (disk full, I/O error): the target is unchanged,
                // or, when only the final flush of the folder failed, replaced
                // but perhaps not yet on the disk
};

// Replaces the content of the file at path (created when missing) with the
// size bytes at data. Unless kReplaced, *why (when given) tells the reason
// in a few words, and no temporary file is left behind.
ReplaceResult ReplaceFileContent(const std::string& path, const void* data, size_t size,
                                 std::string* why);

}  // namespace torvane
