// The Windows attributes a POSIX file system has no place for (hidden,
// system, archive, temporary, offline, not content indexed), kept in the
// extended attribute user.agent.attributes of the file or folder. Read-only
// stays the owner's write bit. Where extended attributes are not supported
// (or on links, which cannot carry user attributes) nothing is kept and the
// attributes are derived from the file as before.
#ifndef REFAGENT_ATTRIBUTE_STORE_H
#define REFAGENT_ATTRIBUTE_STORE_H

#include <cstdint>
#include <string>

namespace refagent {

// The attribute bits the store keeps.
constexpr uint32_t kStoredAttributes = 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;

// Gives the calling thread a working folder of its own, in which
// LoadAttributes then moves into a folder to look an entry up by its bare
// name: a listing looks up every entry, and the way through /proc costs
// more than the entry's stat. Only for threads that resolve no path from
// the working folder (the agent's connection threads); false where the
// system refuses, and the lookups go through /proc.
bool UseOwnWorkingFolder();
// Within its scope, LoadAttributes moves into `dirfd` once for all the
// bare names it looks up there, not once per name: a search looks up each
// of a folder's entries. The caller keeps dirfd open for the scope, so
// its number cannot come to stand for another folder.
class AttributeFolder {
public:
    explicit AttributeFolder(int dirfd);
    ~AttributeFolder();
    AttributeFolder(const AttributeFolder &) = delete;
    AttributeFolder &operator=(const AttributeFolder &) = delete;
};
// A device's number as the agent reports and compares it.
inline uint64_t DeviceNumber(uint32_t major, uint32_t minor) { return static_cast<uint64_t>(major) << 32 | minor; }
// Who a file is and when its inode last changed, as a stat just read it.
struct InodeStamp {
    uint64_t device = 0, index = 0;
    int64_t changedSeconds = 0;
    uint32_t changedNanoseconds = 0;
};
// The stored bits of `entry` in `dirfd` ("" for dirfd itself, which may be
// an O_PATH descriptor); false when nothing is stored or it cannot be read.
// With `stamp` (read before the call), an answer given for the same inode
// at the same change time is reused: storing an attribute changes the
// inode's change time, so a repeated listing skips the lookups.
bool LoadAttributes(int dirfd, const std::string &entry, uint32_t &attributes, const InodeStamp *stamp = nullptr);
// Keeps `attributes & kStoredAttributes` for the file or folder open as fd
// (O_PATH will do). 0, also where extended attributes are not supported;
// else errno.
int StoreAttributes(int fd, uint32_t attributes);

} // namespace refagent

#endif
