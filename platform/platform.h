// The few Win32 calls the library makes. On Windows they are the real API;
// elsewhere platform/posix_*.cpp provides them with Windows semantics, so
// the rest of the library is the same source on both targets.
#ifndef AGENT_PLATFORM_H
#define AGENT_PLATFORM_H

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#endif

#include "agent_stub.h"

#include <ace/os_include/sys/os_uio.h>
#include <ace/os_include/os_stddef.h>
#include <ace/config-lite.h>

#include <cstddef>
#include <cstdint>

#ifndef _WIN32
#include <unistd.h> // gethostname, which Windows has from winsock2.h

typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef unsigned char BYTE;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef const WCHAR *LPCWSTR;
typedef WCHAR *LPWSTR;
typedef void *LPVOID;

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_NO_DATA 232
#define ERROR_SHARING_VIOLATION 32
#define ERROR_CANT_RESOLVE_FILENAME 1921

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065

#define CP_ACP 0
#define CP_UTF8 65001
#define HEAP_ZERO_MEMORY 0x00000008

// ACE defines some of these as 0 on POSIX for its own Win32 look-alikes;
// the library needs the real values it passes to agents.
#undef GENERIC_READ
#undef FILE_SHARE_READ
#undef OPEN_EXISTING
#undef FILE_ATTRIBUTE_NORMAL
#undef FILE_SHARE_WRITE
#undef FILE_ATTRIBUTE_READONLY
#undef FILE_ATTRIBUTE_DIRECTORY
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_WRITE_ATTRIBUTES 0x00000100u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define MAX_ADAPTER_DESCRIPTION_LENGTH 128
#define MAX_ADAPTER_NAME_LENGTH 256
#define MAX_ADAPTER_ADDRESS_LENGTH 8
#define MIB_IF_TYPE_ETHERNET 6
#define IF_TYPE_IEEE80211 71

typedef struct {
    char String[16];
} IP_ADDRESS_STRING, IP_MASK_STRING;

typedef struct _IP_ADDR_STRING {
    struct _IP_ADDR_STRING *Next;
    IP_ADDRESS_STRING IpAddress;
    IP_MASK_STRING IpMask;
    DWORD Context;
} IP_ADDR_STRING;

// Same field names and order as the IP Helper record; only the fields the
// library reads carry data.
typedef struct _IP_ADAPTER_INFO {
    struct _IP_ADAPTER_INFO *Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    IP_ADDR_STRING *CurrentIpAddress;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
} IP_ADAPTER_INFO;

HANDLE GetProcessHeap();
void *HeapAlloc(HANDLE heap, DWORD flags, size_t bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void *block);

UINT GetACP();
// UTF-8 <-> UTF-16 with the Win32 contract: a length of -1 includes the
// terminator, a zero output size asks for the size needed.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char *in, int inLength, WCHAR *out, int outLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *in, int inLength, char *out, int outLength,
                        const char *defaultChar, BOOL *usedDefault);

BOOL GetComputerNameA(char *buffer, DWORD *size);
ULONG GetAdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size);

WCHAR *lstrcpynW(WCHAR *dest, const WCHAR *src, int max);

// Local files. A backslash in a path is a separator, as on Windows.
HANDLE CreateFileW(const WCHAR *path, DWORD access, DWORD share, void *security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, void *overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL CreateDirectoryW(const WCHAR *path, void *security);
#endif // !_WIN32

namespace agent {
namespace platform {

// Winsock sets the thread's last error on success too (to 0); the POSIX
// layer leaves it alone. So "whatever the thread held" after an exchange
// that set no error is 0 on Windows and the earlier value elsewhere.
#ifdef _WIN32
constexpr bool kSocketSuccessResetsLastError = true;
#else
constexpr bool kSocketSuccessResetsLastError = false;
#endif

// Each address of 127.0.0.0/8 is a UDP endpoint of its own on Linux (tests
// bind peers to 127.1.2.3 or 127.0.0.255 to stand for other hosts and
// subnet broadcasts). Windows sockets (and Wine) bind UDP only to the
// loopback interface's own address.
#ifdef _WIN32
constexpr bool kLoopbackAliasesAreEndpoints = false;
#else
constexpr bool kLoopbackAliasesAreEndpoints = true;
#endif

// Sets the thread's last error from the socket layer after a failed ACE
// socket call: POSIX errno values become the Windows Sockets codes a
// Windows host would see; on Windows errno already holds that code.
void SetLastSocketError();
// Same, for a peer that closed the stream before a whole message arrived:
// never leaves 0 behind.
void SetLastSocketErrorOrReset();

// Sends every byte of the parts, waiting as needed, without raising
// SIGPIPE in the host when the peer has gone. 0, or -1 with errno set;
// *sent holds the bytes that went out.
int SendGathered(ACE_HANDLE handle, const iovec *parts, int count, size_t *sent);
// Moves a gathered send past `done` bytes that went out: whole parts are
// dropped, a part sent in part is shortened.
inline void SkipSent(iovec *&next, int &left, size_t done)
{
    while (left > 0 && done >= next->iov_len) {
        done -= next->iov_len;
        ++next;
        --left;
    }
    if (left > 0) {
        next->iov_base = static_cast<char *>(next->iov_base) + done;
        next->iov_len -= done;
    }
}
// One recv call on a blocking socket: the byte count, 0 when the peer has
// closed, or -1 with errno set. A receive time-out (SO_RCVTIMEO) comes back
// as ETIMEDOUT, so callers report it as WSAETIMEDOUT.
ssize_t ReceiveSome(ACE_HANDLE handle, void *buffer, size_t length);
// True when nothing can be read right now: no bytes and no close or reset
// from the peer. Never waits.
bool NothingToRead(ACE_HANDLE handle);
// Waits at most `milliseconds` for the socket to be readable (bytes, or
// the peer's close) or, with `write`, writable: 1 ready, 0 the wait ran
// out, -1 with errno set.
int WaitSocket(ACE_HANDLE handle, bool write, DWORD milliseconds);
#ifndef _WIN32
// One send of what the socket takes now, without waiting: the byte count,
// or -1 with errno set (EWOULDBLOCK when it takes nothing). Never raises
// SIGPIPE. (A Winsock send blocks whatever it is asked.)
ssize_t SendSome(ACE_HANDLE handle, const iovec *parts, int count);
#endif

// TCP keepalive (idle 30 s, then a probe every 5 s, 4 unanswered probes
// drop the connection), so a vanished peer fails a blocked call within
// about a minute. 0, or -1 with errno set.
int EnableKeepAlive(ACE_HANDLE handle);
constexpr unsigned kKeepAliveIdleSeconds = 30;
constexpr unsigned kKeepAliveIntervalSeconds = 5;
constexpr unsigned kKeepAliveProbes = 4;

// Limits every later send and receive on the socket to `milliseconds`
// (0: no limit). 0, or -1 with errno set.
int SetIoTimeout(ACE_HANDLE handle, DWORD milliseconds);

// Local files beyond CreateFileW/WriteFile/CloseHandle, for copies that
// write chunks out of order, resume a partial file and rename it into
// place. Each returns 0, or -1 with the Win32 cause in the last error.
// Writes every byte at the offset; concurrent calls on one file are safe.
int WriteFileAt(HANDLE file, const void *data, DWORD size, uint64_t offset);
// Reads up to size bytes at the offset; fewer (down to 0) at the end.
int ReadFileAt(HANDLE file, void *data, DWORD size, uint64_t offset, DWORD *read);
int GetLocalFileSize(HANDLE file, uint64_t *size);
// Truncates or extends the file to exactly size bytes.
int SetLocalFileSize(HANDLE file, uint64_t size);
int SetLocalLastWriteTime(HANDLE file, const FILETIME &lastWrite);
// Size and last-write time of an open plain file; anything else (a folder,
// a device) fails with ERROR_ACCESS_DENIED.
int GetLocalFileVersion(HANDLE file, uint64_t *size, FILETIME *lastWrite);
// Forces the file's data and times to the disk.
int FlushLocalFile(HANDLE file);

// A local folder held open while copies are made in it. Every name given
// with it is one plain name looked up in that very folder, never followed
// through a link: a folder renamed or replaced during a copy, or a link
// planted at a name, cannot send a write anywhere else.
class LocalFolder {
public:
    LocalFolder() = default;
    ~LocalFolder() { Close(); }
    LocalFolder(const LocalFolder &) = delete;
    LocalFolder &operator=(const LocalFolder &) = delete;

    // Opens the folder at path. With followLink false a folder that is
    // itself a link (or junction) is refused with
    // ERROR_CANT_RESOLVE_FILENAME; links further up the path are the
    // caller's own and are followed.
    int Open(const WCHAR *path, bool followLink);
    bool IsOpen() const;
    void Close();

#ifdef _WIN32
    HANDLE handle() const { return handle_; }
    const WCHAR *path() const { return path_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    WCHAR *path_ = nullptr; // with a trailing separator
#else
    int fd() const { return fd_; }

private:
    int fd_ = -1;
#endif
};

// Splits a local path at its last separator: folder (".", or the root
// when the path names a file in it) and the plain name after it.
// ERROR_INVALID_NAME when the path ends in a separator or is empty.
int SplitLocalPath(const WCHAR *path, const WCHAR **nameStart, size_t *folderLength);

// A new empty file `name` in the folder, opened for reading and writing.
// Whatever stood at that name before (a stale file, a link) is removed
// first, never followed; a folder there fails. INVALID_HANDLE_VALUE with
// the cause in the last error.
HANDLE CreateFreshFileIn(const LocalFolder &folder, const WCHAR *name);
// A new empty file `name` only when nothing stands at that name:
// ERROR_FILE_EXISTS otherwise, with nothing removed or followed.
HANDLE CreateNewFileIn(const LocalFolder &folder, const WCHAR *name);
// Reopens `name` for reading and writing only when it is a regular file
// with one link that belongs to this process's user; anything else (a
// link, a hard-linked or foreign file, nothing) gives INVALID_HANDLE_VALUE
// with ERROR_FILE_NOT_FOUND. Other failures keep their own cause.
HANDLE ReopenOwnFileIn(const LocalFolder &folder, const WCHAR *name);
// Renames within the folder. A link at `to` is replaced, not followed;
// without replace anything at `to` fails with ERROR_FILE_EXISTS.
int MoveFileIn(const LocalFolder &folder, const WCHAR *from, const WCHAR *to, bool replace);
int DeleteFileIn(const LocalFolder &folder, const WCHAR *name);
// True when anything (a file, folder or link) has that name in the folder.
bool ExistsIn(const LocalFolder &folder, const WCHAR *name);
// Forces the folder's entries (a rename into it) to the disk.
int FlushLocalFolder(const LocalFolder &folder);
// The longest file name the local file systems hold, counted in
// LocalNameUnits.
constexpr size_t kMaxLocalNameUnits = 255;
// The units a name costs against kMaxLocalNameUnits: UTF-8 bytes on POSIX,
// UTF-16 code units on Windows. A lone surrogate counts as 3 bytes.
size_t LocalNameUnits(const WCHAR *name, size_t length);

// The adapter list the library works from: GetAdaptersInfo. Kept apart
// (platform/adapter_list.cpp) so that test programs link their own.
ULONG AdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size);

// One adapter as plain text, the input of BuildAdapterChain.
struct AdapterRecord {
    const char *description; // contains "Wireless" for a wireless adapter
    unsigned char address[8];
    unsigned addressLength;
    // IpAddressList entries as dotted quads, unused slots null.
    const char *ip[4];
    const char *mask[4];
};
// Lays the records out as one IP_ADAPTER_INFO chain with GetAdaptersInfo's
// size contract (ERROR_BUFFER_OVERFLOW with the size needed).
ULONG BuildAdapterChain(const AdapterRecord *adapters, size_t count, IP_ADAPTER_INFO *info, ULONG *size);

} // namespace platform
} // namespace agent

#endif
