// Local paths beneath a backup's destination, resolved one folder at a time
// without following links, as the reference agent resolves paths beneath
// its drives: a link that another local user plants inside the destination
// (at a folder or at a file) is never written through. The destination
// root itself is the user's choice and may be reached through links.
#ifndef AGENTCLI_CONFINED_LOCAL_H
#define AGENTCLI_CONFINED_LOCAL_H

#include "local_files.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace agentcli {

// Win32 code for a link met where a folder was expected and refused.
constexpr uint32_t kLocalLinkRefused = 1921; // ERROR_CANT_RESOLVE_FILENAME

// One entry of a local folder as the folder itself holds it: a link is a
// link, whatever it leads to.
struct LocalEntry {
    enum class Kind { Folder, File, Link, Other };
    std::string name; // UTF-8
    Kind kind = Kind::Other;
    uint64_t size = 0;
    uint64_t lastWrite = 0; // FILETIME ticks
};

class ConfinedRoot {
public:
    ConfinedRoot() = default;
    ~ConfinedRoot();
    ConfinedRoot(const ConfinedRoot &) = delete;
    ConfinedRoot &operator=(const ConfinedRoot &) = delete;

    // Creates the root when missing and holds it open. 0 or the Win32 code.
    uint32_t Open(const std::string &root);

    // Every path below takes a local path as the walk joined it: the root,
    // or the root, a separator and a relative path.

    // Creates the folder and the missing ones above it, below the root. A
    // link standing where a folder belongs is removed (only the link) and
    // replaced by a folder. 0 or the Win32 code: 80 when a file stands
    // there. With `made`, whether this call made the folder itself, so that
    // nothing but what the caller puts there can be in it.
    uint32_t MakeFolder(const std::string &local, bool *made = nullptr) const;
    // What a backup compares, of the file itself: a link there is reported
    // as existing and not regular. A missing folder on the way is a missing
    // file.
    uint32_t Stamp(const std::string &local, LocalStamp &stamp) const;

    // A path for the library that names `local` in its folder as resolved
    // here, whatever is planted on the way afterwards; valid as long as the
    // target lives.
    class Target {
    public:
        Target() = default;
        Target(const Target &) = delete;
        Target &operator=(const Target &) = delete;
        const std::string &path() const { return path_; }

    private:
        friend class ConfinedRoot;
        // The folder (or, for Hold, the file) held open, where the platform
        // can, with the folder's local path and its closing separator
        // (empty for a file); targets in one folder share it.
        struct Held {
            explicit Held(intptr_t h) : handle(h) {}
            ~Held();
            Held(const Held &) = delete;
            Held &operator=(const Held &) = delete;
            intptr_t handle;
            std::string folder;
        };
        // Held from now on; closed at once if the holding cannot be made.
        void Keep(intptr_t handle, std::string folder = std::string())
        {
            std::shared_ptr<Held> held;
            try {
                held = std::make_shared<Held>(handle);
            } catch (...) {
                Held closing(handle);
                throw;
            }
            held->folder = std::move(folder);
            held_ = std::move(held);
        }
        std::string path_;
        std::shared_ptr<const Held> held_;
    };
    // With `beside` (a target resolved before), a file in the same folder
    // shares the folder it holds instead of resolving it again: a batch of
    // files in one folder then costs no descriptor per file.
    uint32_t Resolve(const std::string &local, Target &target, const Target *beside = nullptr) const;

    // For reading a tree below the root (a restore's source) without ever
    // following a link: the entries of the folder `local`, sorted by name.
    // 0 or the Win32 code (1921 for a link on the way; 111 when the folder
    // holds more than `most`, with `entries` then left empty).
    uint32_t List(const std::string &local, std::vector<LocalEntry> &entries, size_t most = SIZE_MAX) const;
    // Opens the regular file `local` itself (a link there is refused with
    // 1921, anything but a regular file with 5) and holds it open: the
    // target's path then names that very file for the library, whatever is
    // planted at its name afterwards. `stamp` describes the opened file.
    uint32_t Hold(const std::string &local, Target &target, LocalStamp &stamp) const;

private:
    std::string root_;
    intptr_t handle_ = -1;
};

} // namespace agentcli

#endif
