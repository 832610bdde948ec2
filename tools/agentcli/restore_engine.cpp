#include "restore_engine.h"

#include "backup_walk.h"
#include "confined_local.h"
#include "local_files.h"
#include "manifest.h"
#include "name_filter.h"
#include "parallel_jobs.h"
#include "remote_copy.h"
#include "remote_info.h"
#include "win32_messages.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace agentcli {

namespace {

constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kNotListed = 1359;
constexpr DWORD kWriteAttributesAccess = 0x100; // FILE_WRITE_ATTRIBUTES, what Windows wants for SetFileTime
// What a restore puts back: read-only, hidden, system, archive, temporary,
// offline, not content indexed. The rest (folder, link, compression...) is
// the agent's to say.
constexpr DWORD kSettable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;
// Files per call of the many-file copy; each holds its local file open,
// and all lanes together hold no more than kHeldFiles, well within the
// common limit of 1,024 descriptors.
constexpr size_t kBatch = 256;
constexpr size_t kHeldFiles = 512;
// A file this large is copied in chunks over several connections of its own.
constexpr uint64_t kLarge = 1 << 20;

// The Win32 value for "no attributes of those a restore sets".
DWORD AttributesToSet(DWORD settable) { return settable == 0 ? FILE_ATTRIBUTE_NORMAL : settable; }

std::string Join(const std::string &folder, const std::string &name)
{
    return folder.empty() ? name : folder + "/" + name;
}

std::string ParentOf(const std::string &rel)
{
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

// A name the agent's file system holds as it is, inside its folder: what
// backup accepts from an agent, and none of what Windows would read
// otherwise (reserved characters, a trailing dot or space it strips, the
// device names CON, NUL, COM1...).
bool RemoteNameAllowed(const WString &name)
{
    if (!IsSafeName(name) || name.back() == static_cast<WCHAR>('.') || name.back() == static_cast<WCHAR>(' '))
        return false;
    for (const WCHAR c : name)
        if (c < 0x20 || (c < 0x80 && std::string("<>\"|?*").find(static_cast<char>(c)) != std::string::npos))
            return false;
    std::string stem;
    for (const WCHAR c : name) {
        if (c == static_cast<WCHAR>('.'))
            break;
        if (c >= 0x80)
            return true;
        stem += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static const std::set<std::string> kDevices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (kDevices.count(stem) != 0)
        return false;
    return !(stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
             stem[3] >= '1' && stem[3] <= '9');
}

struct LocalFolder {
    std::string rel;
    uint64_t lastWrite = 0;
};

struct LocalFile {
    std::string rel;
    uint64_t size = 0, lastWrite = 0;
};

struct RemoteEntry {
    DWORD attributes = 0;
    uint64_t size = 0, lastWrite = 0;
    bool exact = false; // the same name, not only the same name ignoring case
};

// A file to write, with what the agent had at its name (INVALID_FILE_ATTRIBUTES: nothing).
struct Planned {
    std::string rel;
    WString remote;
    DWORD remoteAttributes = INVALID_FILE_ATTRIBUTES;
    uint64_t size = 0; // as the walk saw it
    bool fresh = false; // its folder was created by this run: nothing there to look at
};

enum class Settable { Unknown, Yes, No };

class Restorer {
public:
    Restorer(AGENT_LOGON logon, const RestoreOptions &options, BackupProgress *progress, RestoreReport &report)
        : logon_(logon), options_(options), progress_(progress), report_(report)
    {
        // "backup/" and "backup" are one folder.
        localRoot_ = options.localRoot;
        while (localRoot_.size() > 1 && (localRoot_.back() == '/' || localRoot_.back() == '\\'))
            localRoot_.pop_back();
        remoteRoot_ = options.remoteRoot;
        // "C:\x\" and "C:\x" are one folder; "C:\" keeps its backslash.
        while (remoteRoot_.size() > 3 && remoteRoot_.back() == static_cast<WCHAR>('\\'))
            remoteRoot_.pop_back();
        skip_ = remoteRoot_.size() + (!remoteRoot_.empty() && remoteRoot_.back() == static_cast<WCHAR>('\\') ? 0 : 1);
    }

    void Run()
    {
        if (!IsLocalFolder(localRoot_)) {
            Fatal(kLocalPathNotFound, Side::Local);
            return;
        }
        if (const uint32_t error = root_.Open(localRoot_)) {
            Fatal(error, Side::Local);
            return;
        }
        ReadManifest();
        WalkBackup();
        bool exists = false;
        if (const uint32_t error = CheckRemoteRoot(exists)) {
            Fatal(error, Side::Remote);
            return;
        }
        if (exists && !ListRemote())
            return;
        if (!exists && options_.dryRun && options_.list)
            options_.list("would create folder " + Narrow(remoteRoot_));
        if (!exists && !options_.dryRun) {
            bool made = false;
            if (const uint32_t error = MakeRemoteFolder(remoteRoot_, 256, &made)) {
                Fatal(error, Side::Remote);
                return;
            }
            if (made)
                empty_.insert(std::string()); // the root's relative path
        }
        MakeFolders();
        std::vector<Planned> copies = PlanFiles();
        CopyFiles(copies);
        if (!options_.dryRun && !Stopped())
            SettleFolders();
        report_.creationTimesSet = creation_ == Settable::Yes;
    }

private:
    bool Stopped() const { return options_.control != nullptr && options_.control->Stopped(); }

    void Fatal(uint32_t error, Side side)
    {
        report_.fatal = error;
        report_.fatalSide = side;
    }

    void Notice(const std::string &line) const
    {
        if (options_.notice)
            options_.notice(line);
    }

    std::string LocalOf(const std::string &rel) const
    {
        return rel.empty() ? localRoot_ : localRoot_ + "/" + rel;
    }

    WString RemoteOf(const std::string &rel) const
    {
        WString path = remoteRoot_;
        if (rel.empty())
            return path;
        if (path.back() != static_cast<WCHAR>('\\'))
            path += static_cast<WCHAR>('\\');
        WString tail;
        Widen(rel, tail); // every name passed Widen in the walk
        for (WCHAR &c : tail)
            if (c == static_cast<WCHAR>('/'))
                c = static_cast<WCHAR>('\\');
        return path + tail;
    }

    // Skip, Fail, FailLocal and Copied may run on several threads at once.
    void Skip(const std::string &rel, RestoreSkip cause)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.skippedTotal;
        ++report_.skippedBy[static_cast<size_t>(cause)];
        if (report_.skipped.size() < RestoreReport::kKeptEntries)
            report_.skipped.emplace_back(rel, cause);
    }

    void Fail(const WString &remote, uint32_t error, const char *where)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++report_.failedTotal;
        ++report_.failedBy[error];
        lock.unlock();
        if (options_.control != nullptr)
            options_.control->Failed({Narrow(remote), error, where, Side::Remote});
    }

    // The backup's side: counted and told, but an unreadable folder in the
    // backup is no reason to stop putting the rest back.
    void FailLocal(const std::string &rel, uint32_t error, const char *where)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++report_.failedTotal;
            ++report_.failedBy[error];
            ++report_.localFailures;
        }
        Notice("FAILED local " + LocalOf(rel) + " (" + where + "): " + DescribeError(error));
    }

    // The manifest is read like every other file of the backup: a link at
    // its name is not followed.
    void ReadManifest()
    {
        ConfinedRoot::Target held;
        LocalStamp stamp;
        const uint32_t error = root_.Hold(LocalOf(kManifestName), held, stamp);
        if (error == kLocalFileNotFound || error == kLocalPathNotFound) {
            report_.manifest = ManifestUse::Missing;
            return;
        }
        ManifestRead read;
        if (error != 0) {
            read.error = "cannot be read: " + DescribeError(error);
        } else {
            std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(OpenLocalForRead(held.path()), &std::fclose);
            std::string bytes;
            char buffer[1 << 16];
            size_t n = 0;
            while (file && (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
                bytes.append(buffer, n);
            if (!file || std::ferror(file.get()))
                read.error = "cannot be read";
            else
                read = ParseManifest(bytes);
        }
        if (!read.ok) {
            report_.manifest = ManifestUse::Damaged;
            report_.manifestError = read.error;
            return;
        }
        for (const ManifestRefusal &r : read.refused) {
            ++report_.manifestRefused;
            Notice("MANIFEST line " + std::to_string(r.line) + " refused: " + r.reason);
        }
        for (ManifestEntry &e : read.manifest.entries)
            manifest_.emplace(e.path, std::move(e));
    }

    const ManifestEntry *EntryOf(const std::string &rel, bool folder) const
    {
        const auto it = manifest_.find(rel);
        if (it == manifest_.end() || (it->second.kind == ManifestKind::Folder) != folder)
            return nullptr;
        return &it->second;
    }

    // The backup, folder by folder, parents first; links are entries of
    // their own, never followed.
    void WalkBackup()
    {
        std::deque<std::string> pending{std::string()};
        std::vector<LocalEntry> entries;
        while (!pending.empty() && !Stopped()) {
            const std::string folder = pending.front();
            pending.pop_front();
            if (const uint32_t error = root_.List(LocalOf(folder), entries)) {
                FailLocal(folder, error, "read folder");
                continue;
            }
            for (const LocalEntry &e : entries) {
                // The manifest, and partial files of an interrupted backup,
                // are no part of what the agent had.
                if (folder.empty() && (e.name == kManifestName || e.name == std::string(kManifestName) + ".agent-partial"))
                    continue;
                if (IsPartialName(e.name))
                    continue;
                const std::string rel = Join(folder, e.name);
                WString wide;
                if (e.kind == LocalEntry::Kind::Link) {
                    Skip(rel, RestoreSkip::LocalLink);
                } else if (e.kind == LocalEntry::Kind::Other) {
                    Skip(rel, RestoreSkip::NotRegular);
                } else if (!Widen(e.name, wide) || !RemoteNameAllowed(wide)) {
                    Skip(rel, RestoreSkip::UnholdableName);
                } else if (options_.filter != nullptr &&
                           options_.filter->Excluded(rel, e.kind == LocalEntry::Kind::Folder)) {
                    Skip(rel, RestoreSkip::Excluded);
                } else if (e.kind == LocalEntry::Kind::Folder) {
                    folders_.push_back({rel, e.lastWrite});
                    folderSet_.insert(rel);
                    pending.push_back(rel);
                    Known(rel);
                } else {
                    files_.push_back({rel, e.size, e.lastWrite});
                    Known(rel);
                }
            }
        }
    }

    void Known(const std::string &rel)
    {
        known_.insert(rel);
        folded_.emplace(UpperCased(rel), rel);
    }

    // The backup's path a remote one stands for, exactly or ignoring case;
    // empty when the backup has nothing there.
    std::string Match(const std::string &rel, bool &exact) const
    {
        exact = known_.count(rel) != 0;
        if (exact)
            return rel;
        const auto it = folded_.find(UpperCased(rel));
        return it == folded_.end() ? std::string() : it->second;
    }

    uint32_t CheckRemoteRoot(bool &exists)
    {
        const DWORD attributes = AgentGetFileAttributesW(logon_, remoteRoot_.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const uint32_t error = GetLastError();
            exists = false;
            return error == kLocalFileNotFound || error == kLocalPathNotFound ? 0 : error;
        }
        exists = true;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ERROR_FILE_EXISTS;
    }

    // Creates `path` (and, up to `parents` levels, the folders missing
    // above it); 0 when it is a folder now (not a link to one), else the
    // cause. *made says whether this call created it.
    uint32_t MakeRemoteFolder(const WString &path, int parents, bool *made)
    {
        *made = false;
        if (AgentCreateDirectoryW(logon_, path.c_str()))
            return *made = true, 0;
        const uint32_t error = GetLastError();
        if (error == kAlreadyExists || error == ERROR_FILE_EXISTS) {
            const DWORD attributes = AgentGetFileAttributesW(logon_, path.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY
                       ? 0
                       : ERROR_FILE_EXISTS;
        }
        const size_t cut = path.find_last_of(static_cast<WCHAR>('\\'));
        if ((error != kLocalFileNotFound && error != kLocalPathNotFound) || parents <= 0 || cut == WString::npos ||
            cut < 3)
            return error;
        bool parentMade = false;
        if (const uint32_t parent = MakeRemoteFolder(path.substr(0, cut), parents - 1, &parentMade))
            return parent;
        if (!AgentCreateDirectoryW(logon_, path.c_str()))
            return GetLastError();
        *made = true;
        return 0;
    }

    // The agent's entries at the backup's paths. Folders the backup does
    // not have are not listed: what is there stays, and a hostile listing
    // cannot grow memory beyond the backup's size.
    bool ListRemote()
    {
        const BOOL listed =
            AgentListTreeW(logon_, remoteRoot_.c_str(), 0, 0, 0, 0, &Restorer::RemoteFound, this, nullptr);
        if (!listed && GetLastError() != 1223 && !Stopped()) {
            Fatal(GetLastError(), Side::Remote);
            return false;
        }
        return !Stopped();
    }

    static DWORD AGENTAPI RemoteFound(const AGENT_TREE_ENTRY *entry, void *context)
    {
        try {
            return static_cast<Restorer *>(context)->OnRemote(*entry);
        } catch (...) {
            return AGENT_TREE_STOP;
        }
    }

    DWORD OnRemote(const AGENT_TREE_ENTRY &entry)
    {
        if (Stopped())
            return AGENT_TREE_STOP;
        const WString path(entry.path);
        if (entry.depth == 0 || path.size() <= skip_ || entry.kind == AGENT_TREE_FOLDER_END)
            return AGENT_TREE_CONTINUE;
        std::string rel = Narrow(path.substr(skip_));
        for (char &c : rel)
            c = c == '\\' ? '/' : c;
        bool exact = false;
        const std::string key = Match(rel, exact);
        if (key.empty())
            return entry.kind == AGENT_TREE_FOLDER ? AGENT_TREE_SKIP : AGENT_TREE_CONTINUE;
        if (entry.kind == AGENT_TREE_FAILED) {
            unlisted_.emplace(key, entry.cause);
            return AGENT_TREE_CONTINUE;
        }
        RemoteEntry found;
        found.exact = exact;
        if (entry.findData != nullptr) {
            const WIN32_FIND_DATAW &d = *entry.findData;
            found.attributes = d.dwFileAttributes;
            found.size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
            found.lastWrite = FileTimeTicks(d.ftLastWriteTime);
        } else {
            found.attributes = entry.kind == AGENT_TREE_FILE ? 0 : FILE_ATTRIBUTE_DIRECTORY;
        }
        auto it = remote_.find(key);
        if (it == remote_.end())
            remote_.emplace(key, found);
        else if (exact || !it->second.exact)
            it->second = found;
        if (entry.kind == AGENT_TREE_SKIPPED &&
            (entry.cause == AGENT_SKIP_TOO_DEEP || entry.cause == AGENT_SKIP_TOO_MANY))
            unlisted_.emplace(key, kNotListed);
        // Only the backup's own folders are worth listing.
        if (entry.kind == AGENT_TREE_FOLDER)
            return IsFolder(key) ? AGENT_TREE_CONTINUE : AGENT_TREE_SKIP;
        return AGENT_TREE_CONTINUE;
    }

    bool IsFolder(const std::string &rel) const { return folderSet_.count(rel) != 0; }

    // A folder of the backup whose remote place cannot be used, and why;
    // 0 when it can. Folders below one that failed fail with it.
    uint32_t Blocked(const std::string &rel, const char **where) const
    {
        const std::string parent = ParentOf(rel);
        if (const auto it = blocked_.find(parent); it != blocked_.end()) {
            *where = "remote folder";
            return it->second;
        }
        if (const auto it = unlisted_.find(parent); it != unlisted_.end()) {
            *where = "remote folder not listed";
            return it->second;
        }
        return 0;
    }

    // Level by level, parents first; the folders of one level at once.
    void MakeFolders()
    {
        ForEachLevel(folders_.begin(), folders_.end(), [&](const LocalFolder &f) { MakeFolder(f); });
    }

    // Threads for exchanges that do not depend on each other; one for a
    // dry run, which only lists.
    unsigned Threads() const { return options_.dryRun ? 1 : options_.jobs; }

    static size_t Depth(const std::string &rel) { return std::count(rel.begin(), rel.end(), '/'); }

    // Runs make(folder) for the folders in [first, last), which the walk
    // ordered by depth (or its reverse), one level at a time and the
    // folders of a level at once: a round trip per level, not per folder.
    template <typename It, typename Make>
    void ForEachLevel(It first, It last, Make make)
    {
        while (first != last && !Stopped()) {
            It end = first;
            const size_t depth = Depth(first->rel);
            while (end != last && Depth(end->rel) == depth)
                ++end;
            RunParallel(static_cast<size_t>(end - first), Threads(), [&](size_t i) {
                if (!Stopped())
                    make(*(first + static_cast<std::ptrdiff_t>(i)));
            });
            first = end;
        }
    }

    void MakeFolder(const LocalFolder &f)
    {
        const WString remote = RemoteOf(f.rel);
        const char *where = "";
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (const uint32_t error = Blocked(f.rel, &where)) {
                // Not counted again: the folder above failed already.
                blocked_.emplace(f.rel, error);
                return;
            }
        }
        const auto it = remote_.find(f.rel);
        if (it != remote_.end()) {
            if ((it->second.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
                Block(f.rel, ERROR_FILE_EXISTS);
                Fail(remote, ERROR_FILE_EXISTS, "remote folder: a file or link is in the way");
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ++report_.folders;
            return;
        }
        bool made = false;
        if (options_.dryRun) {
            if (options_.list)
                options_.list("would create folder " + Narrow(remote));
        } else if (const uint32_t error = MakeRemoteFolder(remote, 0, &made)) {
            Block(f.rel, error);
            Fail(remote, error, error == ERROR_FILE_EXISTS ? "remote folder: a file or link is in the way"
                                                     : "create remote folder");
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        created_.insert(f.rel);
        if (made)
            empty_.insert(f.rel);
        touched_.insert(ParentOf(f.rel));
        ++report_.folders;
        ++report_.foldersCreated;
    }

    void Block(const std::string &rel, uint32_t error)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocked_.emplace(rel, error);
    }

    std::vector<Planned> PlanFiles()
    {
        std::vector<Planned> copies;
        std::vector<const LocalFile *> unchanged; // whose attributes differ from the manifest's
        uint64_t files = 0, bytes = 0, unchangedBytes = 0;
        for (const LocalFile &f : files_) {
            const WString remote = RemoteOf(f.rel);
            const char *where = "";
            if (const uint32_t error = Blocked(f.rel, &where)) {
                Fail(remote, error, where);
                continue;
            }
            const auto it = remote_.find(f.rel);
            const bool there = it != remote_.end();
            const RemoteEntry r = there ? it->second : RemoteEntry();
            if (there && (r.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                Fail(remote, ERROR_FILE_EXISTS, "remote file: a folder is in the way");
                continue;
            }
            const bool link = (r.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (there && !link && !options_.ignoreTimes && r.size == f.size && r.lastWrite == f.lastWrite) {
                ++report_.unchanged;
                ++files;
                bytes += f.size;
                unchangedBytes += f.size;
                const ManifestEntry *entry = EntryOf(f.rel, false);
                if (entry != nullptr && (entry->attributes & kSettable) != (r.attributes & kSettable))
                    unchanged.push_back(&f);
                continue;
            }
            if (there && !link && !options_.overwriteNewer && r.lastWrite > f.lastWrite) {
                Skip(f.rel, RestoreSkip::NewerOnAgent);
                continue;
            }
            ++files;
            bytes += f.size;
            const bool fresh = empty_.count(ParentOf(f.rel)) != 0;
            copies.push_back({f.rel, remote, there ? r.attributes : INVALID_FILE_ATTRIBUTES, f.size, fresh});
        }
        if (progress_ != nullptr) {
            progress_->filesTotal = files;
            progress_->bytesTotal = bytes;
            progress_->filesDone = report_.unchanged;
            progress_->bytesDone = unchangedBytes;
        }
        RunParallel(unchanged.size(), Threads(), [&](size_t i) {
            FixAttributes(RemoteOf(unchanged[i]->rel), EntryOf(unchanged[i]->rel, false)->attributes & kSettable);
        });
        return copies;
    }

    // An unchanged file whose attributes differ from the manifest's.
    void FixAttributes(const WString &remote, DWORD wanted)
    {
        if (options_.dryRun) {
            if (options_.list)
                options_.list("would set attributes of " + Narrow(remote));
        } else if (!AgentSetFileAttributesW(logon_, remote.c_str(), AttributesToSet(wanted))) {
            Fail(remote, GetLastError(), "set attributes");
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.attributesSet;
    }

    struct Seen {
        Restorer *self;
        size_t count;
        uint64_t bytes = 0;

        static DWORD AGENTAPI Progress(DWORD index, DWORD result, ULONGLONG itemBytes, ULONGLONG copied,
                                       void *context)
        {
            auto *seen = static_cast<Seen *>(context);
            Restorer &r = *seen->self;
            if (r.progress_ != nullptr && copied > seen->bytes)
                r.progress_->bytesDone += copied - seen->bytes;
            seen->bytes = std::max<uint64_t>(seen->bytes, copied);
            (void)itemBytes;
            if (index < seen->count && r.progress_ != nullptr && result == 0)
                ++r.progress_->filesDone;
            // A stopped run keeps the agent's partial files for the next one.
            return r.Stopped() ? PROGRESS_STOP : PROGRESS_CONTINUE;
        }
    };

    // The files go in lanes that run at once, each a call of the many-file
    // copy after another: large files in one of their own, so that a large
    // file neither holds back the batch of small ones it would be in nor
    // waits for them, and the small ones in one lane per 8 of --jobs (2 to
    // 8), each taking the next batch when its last one ends: a batch's last
    // files leave its lane's share of the link idle, and with many lanes
    // those ends fall at different times. Together the lanes stay within
    // --jobs, and at most kHeldFiles local files are held open.
    void CopyFiles(std::vector<Planned> &copies)
    {
        const unsigned jobs = options_.dryRun ? 1 : options_.jobs;
        std::vector<Planned *> large, small;
        for (Planned &p : copies)
            (p.size >= kLarge && jobs > 1 ? large : small).push_back(&p);
        unsigned left = jobs;
        // Two large files at a time, on two connections each, leave the
        // small ones most of the link.
        const unsigned largeCap = large.empty() ? 0 : jobs >= 8 ? 2 : 1;
        left -= largeCap;
        const unsigned wantedLanes = left >= 4 ? std::min(8u, std::max(2u, left / 8)) : 1;
        const size_t lanesHolding = wantedLanes + (large.empty() ? 0 : 1);
        const size_t batch = std::max<size_t>(1, std::min(kBatch, kHeldFiles / lanesHolding));
        // No lane without a batch to take: its share of --jobs goes to the others.
        const unsigned smallLanes = static_cast<unsigned>(
            std::max<size_t>(1, std::min<size_t>(wantedLanes, (small.size() + batch - 1) / batch)));
        // A lane takes the next batch of its list until none is left.
        auto run = [&, this](const std::vector<Planned *> &files, std::atomic<size_t> &next, unsigned cap) {
            for (;;) {
                const size_t at = next.fetch_add(batch);
                if (at >= files.size() || Stopped())
                    return;
                const auto first = files.begin() + static_cast<std::ptrdiff_t>(at);
                CopyBatch(std::vector<Planned *>(first, first + static_cast<std::ptrdiff_t>(
                                                                    std::min(batch, files.size() - at))),
                          std::max(1u, cap));
            }
        };
        std::atomic<size_t> nextSmall{0}, nextLarge{0};
        std::vector<std::function<void()>> lanes;
        if (!large.empty())
            lanes.emplace_back([&] { run(large, nextLarge, largeCap); });
        for (unsigned i = 0; i < smallLanes && !small.empty(); ++i) {
            const unsigned cap = left / smallLanes + (i == 0 ? left % smallLanes : 0);
            lanes.emplace_back([&, cap] { run(small, nextSmall, cap); });
        }
        std::vector<std::thread> threads;
        size_t started = 0;
        try {
            for (; started + 1 < lanes.size(); ++started)
                threads.emplace_back(lanes[started]);
        } catch (...) {
            // No thread to be had: the other lanes one after the other.
        }
        for (size_t i = started; i < lanes.size(); ++i)
            lanes[i]();
        for (std::thread &t : threads)
            t.join();
    }

    void CopyBatch(const std::vector<Planned *> &batch, unsigned cap)
    {
        std::vector<std::unique_ptr<ConfinedRoot::Target>> held;
        std::vector<WString> locals;
        std::vector<AGENT_COPY_ITEM> items;
        std::vector<Planned *> who;
        std::vector<uint64_t> sizes;
        std::vector<bool> cleared;
        locals.reserve(batch.size());
        for (Planned *p : batch) {
            if (options_.dryRun) {
                Copied(*p, p->size);
                continue;
            }
            auto target = std::make_unique<ConfinedRoot::Target>();
            LocalStamp stamp;
            const uint32_t error = root_.Hold(LocalOf(p->rel), *target, stamp);
            if (error == kLocalLinkRefused) {
                Skip(p->rel, RestoreSkip::LocalLink); // planted since the walk
                continue;
            }
            if (error != 0) {
                FailLocal(p->rel, error, "read");
                continue;
            }
            WString local;
            if (!Widen(target->path(), local)) {
                FailLocal(p->rel, ERROR_INVALID_NAME, "local path");
                continue;
            }
            // The agent refuses to replace a read-only file: the bit goes,
            // and comes back if the copy fails.
            const bool readOnly = p->remoteAttributes != INVALID_FILE_ATTRIBUTES &&
                                  (p->remoteAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_READONLY;
            if (readOnly && !AgentSetFileAttributesW(logon_, p->remote.c_str(),
                                                     AttributesToSet(p->remoteAttributes & kSettable & ~FILE_ATTRIBUTE_READONLY))) {
                Fail(p->remote, GetLastError(), "clear read-only");
                continue;
            }
            locals.push_back(std::move(local));
            held.push_back(std::move(target));
            AGENT_COPY_ITEM item = {};
            item.localPath = locals.back().c_str();
            item.remotePath = p->remote.c_str();
            item.known = p->fresh ? AGENT_COPY_ITEM_TARGET_ABSENT : 0;
            items.push_back(item);
            who.push_back(p);
            sizes.push_back(stamp.size);
            cleared.push_back(readOnly);
        }
        if (items.empty())
            return;
        Seen seen{this, items.size()};
        // A restore run again continues the partial files a stopped one left.
        AgentCopyFilesToAgentW(logon_, items.data(), static_cast<DWORD>(items.size()), &Seen::Progress, &seen,
                               nullptr, options_.ignoreTimes ? 0 : COPY_FILE_RESTARTABLE, cap);
        held.clear(); // the local files are read
        // Only what needs exchanges goes to the threads.
        std::vector<std::pair<size_t, const ManifestEntry *>> more;
        for (size_t i = 0; i < items.size(); ++i) {
            Planned &p = *who[i];
            const uint32_t result = items[i].result;
            if (result == 0)
                Copied(p, sizes[i]);
            else if (!(result == ERROR_REQUEST_ABORTED && Stopped()))
                Fail(p.remote, result, "copy");
            const ManifestEntry *entry = result == 0 ? MetadataToSet(p) : nullptr;
            if (entry != nullptr || (result != 0 && cleared[i]))
                more.emplace_back(i, entry);
        }
        // Within the lane's share: the other lanes' copies run meanwhile.
        RunParallel(more.size(), std::max(1u, cap), [&](size_t n) {
            const auto [i, entry] = more[n];
            Planned &p = *who[i];
            if (entry != nullptr)
                SetFileMetadata(p, *entry);
            else
                AgentSetFileAttributesW(logon_, p.remote.c_str(), AttributesToSet(p.remoteAttributes & kSettable));
        });
    }

    void Copied(const Planned &p, uint64_t bytes)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++report_.files;
        report_.bytes += bytes;
        touched_.insert(ParentOf(p.rel));
        lock.unlock();
        if (options_.control != nullptr)
            options_.control->Copied(Narrow(p.remote));
    }

    // Opens a remote file or folder for its times (backup semantics, so
    // folders open too). Null with the cause in the last error.
    HANDLE OpenForTimes(const WString &remote) const
    {
        return AgentCreateFileW(logon_, remote.c_str(), GENERIC_READ | kWriteAttributesAccess,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    }

    // Creation and last-access times (the copy set the last-write time
    // already; null leaves it) and, for a folder, the last-write time. An
    // agent that ignores creation times is asked once: the first answer
    // decides for the rest of the run. 0 or the cause.
    uint32_t SetTimes(const WString &remote, const ManifestEntry *entry, const uint64_t *lastWrite)
    {
        const bool creation = entry != nullptr && entry->created != 0 && creation_ != Settable::No;
        if (!creation && lastWrite == nullptr)
            return 0;
        HANDLE handle = OpenForTimes(remote);
        if (handle == nullptr)
            return GetLastError();
        const FILETIME created = FileTimeOf(creation ? entry->created : 0);
        const FILETIME accessed = FileTimeOf(entry != nullptr ? entry->lastAccess : 0);
        const FILETIME written = FileTimeOf(lastWrite != nullptr ? *lastWrite : 0);
        uint32_t error = AgentSetFileTime(handle, creation ? &created : nullptr,
                                          entry != nullptr && entry->lastAccess != 0 ? &accessed : nullptr,
                                          lastWrite != nullptr ? &written : nullptr)
                             ? 0
                             : GetLastError();
        if (error == 0 && creation && creation_ == Settable::Unknown) {
            BY_HANDLE_FILE_INFORMATION info;
            if (AgentGetFileInformationByHandle(handle, &info))
                creation_ = FileTimeTicks(info.ftCreationTime) == entry->created ? Settable::Yes : Settable::No;
        }
        AgentCloseHandle(logon_, handle);
        return error;
    }

    // The manifest's entry for a copied file when it has something the
    // copy did not set (a creation time the agent may take, attributes
    // other than a new file's archive bit); else null. Without a manifest
    // the local times are all there is.
    const ManifestEntry *MetadataToSet(const Planned &p) const
    {
        const ManifestEntry *entry = EntryOf(p.rel, false);
        if (entry == nullptr)
            return nullptr;
        const bool creation = entry->created != 0 && creation_ != Settable::No;
        return creation || (entry->attributes & kSettable) != FILE_ATTRIBUTE_ARCHIVE ? entry : nullptr;
    }

    void SetFileMetadata(const Planned &p, const ManifestEntry &entry)
    {
        if (const uint32_t error = SetTimes(p.remote, &entry, nullptr))
            Fail(p.remote, error, "set times");
        // Read-only last.
        const DWORD wanted = entry.attributes & kSettable;
        if (wanted != FILE_ATTRIBUTE_ARCHIVE && !AgentSetFileAttributesW(logon_, p.remote.c_str(), AttributesToSet(wanted)))
            Fail(p.remote, GetLastError(), "set attributes");
    }

    // Folders last, the deepest first: writing into a folder changes its
    // last-write time, so it is set once nothing more goes in. The folders
    // of one level at once.
    void SettleFolders()
    {
        ForEachLevel(folders_.rbegin(), folders_.rend(), [&](const LocalFolder &f) { SettleFolder(f); });
    }

    // Only reads the sets: nothing adds to them any more.
    void SettleFolder(const LocalFolder &f)
    {
        if (blocked_.count(f.rel) != 0 || unlisted_.count(f.rel) != 0)
            return;
        const WString remote = RemoteOf(f.rel);
        const ManifestEntry *entry = EntryOf(f.rel, true);
        const auto it = remote_.find(f.rel);
        const bool existed = it != remote_.end() && created_.count(f.rel) == 0;
        if (entry != nullptr) {
            const DWORD wanted = entry->attributes & kSettable;
            const DWORD now = existed ? it->second.attributes & kSettable : 0;
            if (wanted != now && !AgentSetFileAttributesW(logon_, remote.c_str(), AttributesToSet(wanted)))
                Fail(remote, GetLastError(), "set folder attributes");
        }
        const uint64_t lastWrite = entry != nullptr && entry->lastWrite != 0 ? entry->lastWrite : f.lastWrite;
        const bool same = existed && touched_.count(f.rel) == 0 && it->second.lastWrite == lastWrite;
        if (!same)
            if (const uint32_t error = SetTimes(remote, entry, &lastWrite))
                Fail(remote, error, "set folder times");
    }

    AGENT_LOGON logon_;
    const RestoreOptions &options_;
    BackupProgress *progress_;
    RestoreReport &report_;
    std::string localRoot_;
    WString remoteRoot_;
    size_t skip_ = 0;
    ConfinedRoot root_;
    std::unordered_map<std::string, ManifestEntry> manifest_;
    std::vector<LocalFolder> folders_; // parents first
    std::vector<LocalFile> files_;
    std::unordered_set<std::string> known_;            // every path the backup holds
    std::unordered_set<std::string> folderSet_;
    std::unordered_map<std::string, std::string> folded_; // its case-insensitive keys
    std::unordered_map<std::string, RemoteEntry> remote_;
    std::unordered_map<std::string, uint32_t> unlisted_; // remote folders whose content is unknown
    std::unordered_map<std::string, uint32_t> blocked_;  // backup folders with no usable remote place
    std::unordered_set<std::string> created_, touched_;
    std::unordered_set<std::string> empty_; // created by this run's own create (the root as ""), so nothing was in them
    std::atomic<Settable> creation_{Settable::Unknown};
    std::mutex mutex_; // the report and the sets above, for the threads of a level or a batch
};

} // namespace

const char *RestoreSkipText(RestoreSkip cause)
{
    switch (cause) {
    case RestoreSkip::LocalLink: return "link in the backup (not followed)";
    case RestoreSkip::NotRegular: return "not a regular file";
    case RestoreSkip::UnholdableName: return "name no remote path can hold";
    case RestoreSkip::Excluded: return "excluded";
    case RestoreSkip::NewerOnAgent: return "newer on the agent";
    }
    return "?";
}

RestoreReport RunRestore(AGENT_LOGON logon, const RestoreOptions &options, BackupProgress *progress)
{
    const auto start = std::chrono::steady_clock::now();
    RestoreReport report;
    Restorer(logon, options, progress, report).Run();
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
