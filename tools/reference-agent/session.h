// One client connection: its logon, its open file, and the dispatch of
// every request to the handler of its opcode.
#ifndef REFAGENT_SESSION_H
#define REFAGENT_SESSION_H

#include "agent_config.h"
#include "confined_path.h"
#include "file_info.h"
#include "logon_throttle.h"
#include "path_mapping.h"
#include "protocol/handle_messages.h"
#include "wire_channel.h"

#include <ace/SOCK_Stream.h>

#include <string>
#include <vector>

namespace refagent {

// The file a connection has open; closed with the connection at the latest.
class OpenFile {
public:
    OpenFile() = default;
    ~OpenFile() { Close(); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    void Reset(int fd, bool readable, bool writable, bool directory, std::string name);
    // The handle is a link itself (opened with FILE_FLAG_OPEN_REPARSE_POINT);
    // by-handle replies show these attributes.
    void MarkLink(uint32_t attributes) { linkAttributes_ = attributes; }
    uint32_t linkAttributes() const { return linkAttributes_; }
    int Close(); // 0 or errno
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }
    bool directory() const { return directory_; }
    const std::string &name() const { return name_; }

private:
    int fd_ = -1;
    bool readable_ = false, writable_ = false, directory_ = false;
    uint32_t linkAttributes_ = 0;
    std::string name_;
};

class Session {
public:
    // A connection the logon lobby has logged on; `peer` is its address.
    Session(const AgentConfig &config, ACE_SOCK_Stream &stream, int id, LogonThrottle &throttle, std::string peer);
    // Serves requests until the client closes, a request is malformed, a
    // deadline passes or a reply cannot be sent.
    void Run();

private:
    // Each handler returns false to drop the connection.
    bool Dispatch(const agent::MessageHeader &header);
    bool Refuse(uint32_t opcode, uint32_t status);
    bool HandleLogon();
    // The limits on the next request: small and before the logon deadline
    // while not logged on, else the idle limit.
    ReadLimits NextRequestLimits() const;

    // Paths and attributes.
    bool HandlePathStatus(uint32_t opcode);
    bool HandleGetFileAttributes();
    bool HandleGetFileAttributesEx();
    bool HandleSetFileAttributes();
    bool HandleCreateDirectory();
    bool HandleRemovePath();
    bool HandleMoveFile();
    // File handles.
    bool HandleCreateFile();
    struct OpenIntent;
    // The open's status; on 0 the file is open in file_.
    uint32_t OpenRequested(const agent::protocol::CreateFileRequest &request);
    uint32_t OpenLinkItself(const OpenIntent &intent, const MappedPath &mapped, const Location &at,
                            const std::string &name);
    uint32_t OpenDirectory(const OpenIntent &intent, const Location &at, const std::string &name);
    uint32_t OpenRegularFile(const OpenIntent &intent, const Location &at, const std::string &name);
    bool HandleRead(uint32_t opcode);
    // The refusal status of a read, or 0 with the number of bytes it will
    // carry (the file positioned first for a read at an offset).
    uint32_t PrepareRead(bool atOffset, const agent::protocol::ReadFileAtRequest &request, uint64_t &count);
    // Up to `size` bytes of the open file into data_; a failure's status
    // stays in `status`.
    size_t ReadPiece(size_t size, uint32_t &status);
    // The reply to a read of `count` bytes, data included.
    bool SendRead(uint32_t opcode, uint64_t count);
    // The data of a large read after its first piece; false drops the
    // connection, the only way to tell the client of a failure by now.
    bool StreamRest(uint64_t left);
    bool HandleWrite();
    bool HandleSetFilePointer();
    bool HandleSetFileTime();
    bool HandleGetFileInformation();
    bool HandleCloseHandle();
    // Enumeration and system information.
    bool HandleFindFirst();
    bool HandleFindFirstDrive();
    bool HandleGetDiskFreeSpace();
    bool HandleGetOSVersion();
    bool HandleGetPathList();
    // User data.
    bool HandleGetFolderPath();
    bool HandleFirefox(uint32_t opcode);
    bool HandleIEFavoritePath();
    bool HandlePstCount();
    bool HandlePstList();
    bool HandleMergePst();

    // Maps a Windows path and locates it beneath its drive's root (a link
    // in the last place followed when followLast): 0, or the Win32 status
    // that refuses it.
    uint32_t Find(const std::u16string &path, bool followLast, MappedPath &mapped, Location &at) const;
    // The folder `path` names (links followed while they stay inside), as
    // an O_PATH descriptor; invalid with the Win32 status otherwise.
    UniqueFd OpenFolder(const std::u16string &path, MappedPath &mapped, uint32_t &status) const;
    // What `at` names, a link shown as a reparse point: 0 or errno.
    int Describe(const MappedPath &mapped, const Location &at, FileInfo &info) const;
    // Finds and describes `path` (a link itself, not its target): 0 with
    // `info` filled, or the Win32 status.
    uint32_t StatRequested(const std::u16string &path, FileInfo &info) const;
    bool SendPathReply(uint32_t opcode, uint32_t status, const std::u16string &path);
    void Log(const char *format, ...) const;

    const AgentConfig &config_;
    WireChannel channel_;
    int id_;
    LogonThrottle &throttle_;
    std::string peer_;
    bool loggedOn_ = true;
    unsigned failedLogons_ = 0;
    std::chrono::steady_clock::time_point logonDeadline_{};
    OpenFile file_;
    std::vector<char> data_; // file data on their way to or from the wire
};

} // namespace refagent

#endif
