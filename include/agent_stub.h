/*
 * agent_stub: client library for the backup agent service.
 *
 * Every export mirrors a Win32 call and follows its conventions: a yes/no,
 * handle or value result, the cause in the calling thread's last error
 * (GetLastError), and a module-wide copy of the last failure that
 * AgentGetLastError returns. Error codes are Win32 codes; the agent's own
 * codes are passed through unchanged. Strings are UTF-16 (WCHAR).
 *
 * The codes the library makes itself are named once, below (ERROR_* and
 * WSA*, each with what it means here); every export's comment lists those
 * it can set. "A socket error" there is a Windows Sockets code: the
 * system's (10061 refused, 10065 unreachable...) or the library's own
 * 10054 (the agent closed in the middle of a message), 10040 (a reply
 * announcing more than 64 MiB) and 10060 (a time-out that ran out). Any
 * export that allocates may also fail with 8 (ERROR_NOT_ENOUGH_MEMORY).
 */
#ifndef AGENT_STUB_H
#define AGENT_STUB_H

/* The library's version; the build reads it from here. */
#define AGENT_STUB_VERSION_MAJOR 1
#define AGENT_STUB_VERSION_MINOR 0
#define AGENT_STUB_VERSION_PATCH 0

#ifdef _WIN32
#include <windows.h>
#include <stdint.h>
#define AGENTAPI WINAPI
/* A WCHAR string literal: L"..." here, u"..." (C11, C++11) elsewhere. */
#define AGENT_TEXT(text) L##text
#else
#include <stdint.h>

#define AGENTAPI
#define AGENT_TEXT(text) u##text

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint16_t WORD;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR; /* same layout as char16_t */
#endif
typedef void *HANDLE;
typedef uint64_t ULONGLONG;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[260];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;

/* The Win32 constants the exports take and return, with windows.h's
 * values (the agent reads them as Windows would), so that a host needs no
 * definitions of its own. Unsigned flags: they are DWORD bit masks. */
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260                    /* code units of a path buffer, terminator included */
#endif
/* AgentCreateFileW: access */
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE 0x20000000u
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL 0x10000000u
#endif
/* AgentCreateFileW: share */
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001u
#endif
#ifndef FILE_SHARE_WRITE
#define FILE_SHARE_WRITE 0x00000002u
#endif
#ifndef FILE_SHARE_DELETE
#define FILE_SHARE_DELETE 0x00000004u
#endif
/* AgentCreateFileW: disposition */
#ifndef CREATE_NEW
#define CREATE_NEW 1
#endif
#ifndef CREATE_ALWAYS
#define CREATE_ALWAYS 2
#endif
#ifndef OPEN_EXISTING
#define OPEN_EXISTING 3
#endif
#ifndef OPEN_ALWAYS
#define OPEN_ALWAYS 4
#endif
#ifndef TRUNCATE_EXISTING
#define TRUNCATE_EXISTING 5
#endif
/* AgentCreateFileW: flags */
#ifndef FILE_FLAG_WRITE_THROUGH
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#endif
#ifndef FILE_FLAG_NO_BUFFERING
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#endif
#ifndef FILE_FLAG_RANDOM_ACCESS
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#endif
#ifndef FILE_FLAG_SEQUENTIAL_SCAN
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#endif
#ifndef FILE_FLAG_DELETE_ON_CLOSE
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#endif
#ifndef FILE_FLAG_BACKUP_SEMANTICS
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u  /* needed to open a directory */
#endif
#ifndef FILE_FLAG_OPEN_REPARSE_POINT
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#endif
/* Attributes: AgentCreateFileW's flags, AgentSetFileAttributesW, and the
 * dwFileAttributes the agent reports */
#ifndef FILE_ATTRIBUTE_READONLY
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#endif
#ifndef FILE_ATTRIBUTE_HIDDEN
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#endif
#ifndef FILE_ATTRIBUTE_SYSTEM
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#endif
#ifndef FILE_ATTRIBUTE_DIRECTORY
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#endif
#ifndef FILE_ATTRIBUTE_ARCHIVE
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#endif
#ifndef FILE_ATTRIBUTE_DEVICE
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#endif
#ifndef FILE_ATTRIBUTE_TEMPORARY
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#endif
#ifndef FILE_ATTRIBUTE_SPARSE_FILE
#define FILE_ATTRIBUTE_SPARSE_FILE 0x00000200u
#endif
#ifndef FILE_ATTRIBUTE_REPARSE_POINT
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#endif
#ifndef FILE_ATTRIBUTE_COMPRESSED
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800u
#endif
#ifndef FILE_ATTRIBUTE_OFFLINE
#define FILE_ATTRIBUTE_OFFLINE 0x00001000u
#endif
#ifndef FILE_ATTRIBUTE_NOT_CONTENT_INDEXED
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000u
#endif
#ifndef FILE_ATTRIBUTE_ENCRYPTED
#define FILE_ATTRIBUTE_ENCRYPTED 0x00004000u
#endif
/* AgentGetFileAttributesW's failure result */
#ifndef INVALID_FILE_ATTRIBUTES
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFFu)
#endif
/* AgentSetFilePointerEx: method */
#ifndef FILE_BEGIN
#define FILE_BEGIN 0
#endif
#ifndef FILE_CURRENT
#define FILE_CURRENT 1
#endif
#ifndef FILE_END
#define FILE_END 2
#endif


/* Error codes the library sets itself, beside the agent's own status codes
 * and the socket layer's. windows.h already defines them on Windows. */
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6          /* handle closed, unknown, of another kind or logon */
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8       /* an allocation failed */
#endif
#ifndef ERROR_INVALID_ACCESS
#define ERROR_INVALID_ACCESS 12         /* handle in the wrong state; nothing sent */
#endif
#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13           /* a reply that breaks the protocol */
#endif
#ifndef ERROR_NO_MORE_FILES
#define ERROR_NO_MORE_FILES 18          /* end of a search, drive list or path list */
#endif
#ifndef ERROR_WRITE_FAULT
#define ERROR_WRITE_FAULT 29            /* a local write took fewer bytes than given */
#endif
#ifndef ERROR_FILE_EXISTS
#define ERROR_FILE_EXISTS 80
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87      /* a null or empty required argument */
#endif
#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123          /* a name no Windows file can have */
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206  /* a local path over 259 characters */
#endif
#ifndef ERROR_FILE_INVALID
#define ERROR_FILE_INVALID 1006         /* a remote file changed size during a copy */
#endif
#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223            /* stopped by the host */
#endif
#ifndef ERROR_REQUEST_ABORTED
#define ERROR_REQUEST_ABORTED 1235      /* a copy stopped or cancelled by the host */
#endif
#ifndef ERROR_INTERNAL_ERROR
#define ERROR_INTERNAL_ERROR 1359       /* a file-pointer reply without the position */
#endif
#ifndef WSAEMSGSIZE
#define WSAEMSGSIZE 10040               /* a reply announcing more than 64 MiB */
#endif
#ifndef WSAECONNRESET
#define WSAECONNRESET 10054             /* the peer closed in the middle of a message */
#endif
#ifndef WSAETIMEDOUT
#define WSAETIMEDOUT 10060              /* a time-out set by AgentSet(Default)Timeouts ran out */
#endif
#ifndef WSAHOST_NOT_FOUND
#define WSAHOST_NOT_FOUND 11001         /* the agent's host name does not resolve */
#endif

#ifdef __cplusplus
extern "C" {
#endif
/* The calling thread's last error, as on Windows. */
DWORD GetLastError(void);
void SetLastError(DWORD error);
#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AgentLogon *AGENT_LOGON;
typedef struct AgentProber *AGENT_PROBER;

typedef struct AgentDriveInfo {
    DWORD Value1, Value2;
    WCHAR Text1[261];
    DWORD Value3, Value4, Value5;
    WCHAR Text2[261];
    DWORD Value6, Value7, Value8, Value9;
} AgentDriveInfo;

/* Callbacks run with strings owned by the library, valid only during the call. */
typedef void (AGENTAPI *AgentProbeCallback)(DWORD value, const WCHAR *name, DWORD address, void *context);
typedef void (AGENTAPI *AgentPathListCallback)(const WCHAR *path, const WIN32_FIND_DATAW *findData, void *context);
typedef void (AGENTAPI *AgentPstListCallback)(const WCHAR *path, const WCHAR *secondText, void *context);
/* Progress of AgentCopyFileFromAgentExW: the remote file's size and the
 * bytes the local copy holds so far. Returns one of PROGRESS_*. */
typedef DWORD (AGENTAPI *AgentCopyProgressRoutine)(ULONGLONG totalBytes, ULONGLONG bytesCopied, void *context);

/* Progress results and copy flags, with their Win32 values (windows.h has them). */
#ifndef PROGRESS_CONTINUE
#define PROGRESS_CONTINUE 0             /* go on */
#endif
#ifndef PROGRESS_CANCEL
#define PROGRESS_CANCEL 1               /* end the copy and remove the partial file */
#endif
#ifndef PROGRESS_STOP
#define PROGRESS_STOP 2                 /* end the copy, keep the partial file for a restart */
#endif
#ifndef PROGRESS_QUIET
#define PROGRESS_QUIET 3                /* go on without further progress calls */
#endif
#ifndef COPY_FILE_FAIL_IF_EXISTS
#define COPY_FILE_FAIL_IF_EXISTS 0x00000001
#endif
#ifndef COPY_FILE_RESTARTABLE
#define COPY_FILE_RESTARTABLE 0x00000002
#endif
/* The library's own copy flag, above every COPY_FILE_* value of Win32: by
 * default a copy forces its data to the disk before it takes the final
 * name, and the folder's entry after, so a power loss never leaves a
 * final name with missing bytes. Hosts that sync the destination
 * themselves may skip both with this flag. */
#define AGENT_COPY_FILE_NO_FLUSH 0x80000000u

/* ---- Library frame and logon ---------------------------------------- */

/* Initialises ACE. 1 on success, else 0. Call once before anything else. */
BOOL AGENTAPI AgentInit(void);
/* Finalises ACE. 1 on success, else 0. */
BOOL AGENTAPI AgentFini(void);
/* Connects to host:port (low 16 bits) and logs on; the connection proves
 * the credentials and is kept for reuse. Returns the logon, or null with the
 * last error 87 (port 0, missing/empty host or user, null password), 11001
 * (the host name does not resolve), 8 (out of memory), 13 (a reply that
 * breaks the protocol), a socket error, or the agent's refusal;
 * AgentGetLastError holds the same. */
AGENT_LOGON AGENTAPI AgentLogonW(const WCHAR *host, DWORD port, const WCHAR *user, const WCHAR *password);
/* Logs out and closes every idle connection and frees the logon. 1, or 0
 * with 87 for a null logon. Waits for the logout replies at most the I/O
 * time-out of AgentSetTimeouts, or 5 s when none is set. Close file, search
 * and drive handles first: one still open stays usable and is closed with
 * AgentCloseHandle and the same logon value, which then closes its
 * connection instead of keeping it. */
BOOL AGENTAPI AgentLogoff(AGENT_LOGON logon);
/* Limits, in milliseconds, how long a connect (connectMs) and any single
 * send or receive (ioMs) of this logon may take; 0 waits without limit,
 * which is where a new logon starts. Applies at once to every connection of
 * the logon: idle, new, and those held as file, search or drive handles.
 * A call whose connect or transfer runs out fails with 10060 (WSAETIMEDOUT)
 * and its connection is closed. 1, or 0 with 87 for a null logon. */
BOOL AGENTAPI AgentSetTimeouts(AGENT_LOGON logon, DWORD connectMs, DWORD ioMs);
/* Limits how many bytes per second the chunk transfers of
 * AgentCopyFileFromAgentExW and AgentCopyFileToAgentExW on this logon move,
 * all of their connections and every copy running at once together; 0
 * (where a new logon starts) sets no limit. Up to one chunk (1 MiB, at most
 * one second's worth) may go at once; then each chunk request waits its
 * turn. Applies to chunks requested from now on. 1, or 0 with 87 for a
 * null logon. */
BOOL AGENTAPI AgentSetBandwidthLimit(AGENT_LOGON logon, DWORD bytesPerSecond);
/* A progress deadline for the copies of this logon (AgentCopyFileFromAgent
 * and the copies of AgentGetPst2Local and AgentGetFirefox3Bookmark made
 * through it, AgentCopyFileFromAgentExW, AgentCopyFileToAgentExW,
 * AgentCopyFilesFromAgentW, AgentCopyFilesToAgentW), as curl's --speed-limit and --speed-time: a
 * copy that moves fewer than bytesPerSecond bytes a second, counted over
 * all of its connections, for seconds seconds fails with 10060
 * (WSAETIMEDOUT); a many-file copy then ends: items under way (unless
 * all their data had arrived) and those not yet started get 10060. What
 * fails is cleaned up as after any other failure
 * (a restartable copy keeps its partial file; the connections that waited
 * are closed). 0 in either argument (where a new logon starts) sets no
 * deadline. Applies to copies started from now on. 1, or 0 with 87 for a
 * null logon. */
BOOL AGENTAPI AgentSetSpeedLimit(AGENT_LOGON logon, DWORD bytesPerSecond, DWORD seconds);
/* The time-outs (ms, 0 waits without limit, the default) that every logon
 * made afterwards starts with, for any thread, its first connection
 * included: an AgentLogonW whose connect or logon reply runs out fails with
 * 10060 (WSAETIMEDOUT). AgentSetTimeouts still changes them per logon.
 * Returns 1; sets no last error. */
BOOL AGENTAPI AgentSetDefaultTimeouts(DWORD connectMs, DWORD ioMs);
/* The last failure of any export on any thread (0 until one failed). */
DWORD AGENTAPI AgentGetLastError(void);

/* ---- Path and attribute operations ---------------------------------- */

/* 1 when the agent reports the path exists, 0 otherwise (last error: the
 * agent's status, 87 for an empty path, a socket error); -1 with 87 for a
 * null logon. */
BOOL AGENTAPI AgentPathFileExistsW(AGENT_LOGON logon, const WCHAR *path);
/* 1 when the path is a root, 0 otherwise; -1 with 87 for a null logon. */
BOOL AGENTAPI AgentPathIsRootW(AGENT_LOGON logon, const WCHAR *path);
/* The agent's verdict on stripping the path to its root: 1 / 0, -1 with 87
 * for a null logon. The caller's buffer is never written. */
BOOL AGENTAPI AgentPathStripToRootW(AGENT_LOGON logon, WCHAR *path);
/* The attributes, or 0xFFFFFFFF on any failure (87 for a null logon or empty
 * path, the agent's status, a socket error). */
DWORD AGENTAPI AgentGetFileAttributesW(AGENT_LOGON logon, const WCHAR *path);
/* Fills *data with attributes, times and size. 1 / 0 (87, agent status, socket error). */
BOOL AGENTAPI AgentGetFileAttributesExW(AGENT_LOGON logon, const WCHAR *path, WIN32_FILE_ATTRIBUTE_DATA *data);
/* Sets the attributes. 1 / 0 (87, agent status, socket error). */
BOOL AGENTAPI AgentSetFileAttributesW(AGENT_LOGON logon, const WCHAR *path, DWORD attributes);
/* Creates a directory. 1 / 0 (87, agent status, socket error).
 * AgetnCreateDirectoryW is a second name of the same entry point. */
BOOL AGENTAPI AgentCreateDirectoryW(AGENT_LOGON logon, const WCHAR *path);
BOOL AGENTAPI AgetnCreateDirectoryW(AGENT_LOGON logon, const WCHAR *path);
/* Removes a file or directory. 1 / 0 (87, agent status, socket error). */
BOOL AGENTAPI AgentRemovePath(AGENT_LOGON logon, const WCHAR *path);
/* Moves source to target. 1 / 0 (87 for a null or empty path, agent status, socket error). */
BOOL AGENTAPI AgentMoveFile(AGENT_LOGON logon, const WCHAR *source, const WCHAR *target);

/* ---- Remote file handles -------------------------------------------- */

/* Opens a remote file with CreateFileW's access, share, disposition and
 * flags. The handle, or null (never INVALID_HANDLE_VALUE) with 87, the
 * agent's status or a socket error. Close it with AgentCloseHandle. */
HANDLE AGENTAPI AgentCreateFileW(AGENT_LOGON logon, const WCHAR *path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
/* Every call on a file, search or drive handle looks the handle up first:
 * one that is closed, unknown or of another kind fails with 6
 * (ERROR_INVALID_HANDLE) and nothing is sent. Calls on one handle from
 * several threads run one at a time. */
/* Fills *info. 1 / 0 (87 null argument, 6, 12 handle not open, agent status, socket error). */
BOOL AGENTAPI AgentGetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);
/* Reads up to toRead bytes at the agent's file pointer; *read gets the
 * count (fewer at end of file). 1 / 0 (87, 6, 12, agent status, socket error;
 * 13 when the agent announces more bytes than asked for: nothing is taken
 * into the buffer and the handle is unusable until closed). */
BOOL AGENTAPI AgentReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read);
/* As AgentReadFile, at the absolute offset offsetHigh:offsetLow. */
BOOL AGENTAPI AgentReadFilePosition(HANDLE file, void *buffer, DWORD toRead, DWORD *read, DWORD offsetLow, DWORD offsetHigh);
/* Writes toWrite bytes; *written gets the agent's count. 1 / 0 (87, 6, 12, agent status, socket error). */
BOOL AGENTAPI AgentWriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written);
/* Moves the file pointer (method 0 begin, 1 current, 2 end). 1 / 0 (87 bad
 * method or null handle, 6, 12, agent status, 1359 reply without position). */
BOOL AGENTAPI AgentSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER *newPosition, DWORD method);
/* Sets the file times; a null pointer sends a zero time. 1 / 0 (87, 6, 12, agent status). */
BOOL AGENTAPI AgentSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess, const FILETIME *lastWrite);
/* Ends a file, search or drive handle. 1, or 0 with 87 (null argument), 6
 * (a handle already closed or unknown, or one opened through another logon:
 * nothing is done, a live handle stays open) or a socket error; an agent refusing the close still gives 1 (its
 * status in the last error). The handle is invalid afterwards. */
BOOL AGENTAPI AgentCloseHandle(AGENT_LOGON logon, HANDLE handle);
/* Copies a remote file into a local file, in chunks of 4096 bytes, by way
 * of a partial file beside it (as AgentCopyFileFromAgentExW names it) that
 * replaces the local file, on the disk first, only once the whole file is
 * there. 1 only when the whole file was copied. 0 with 87 (a null argument,
 * nothing touched), a connection error, the error opening the local folder
 * (the agent is not asked), the agent's error for the open, or the cause
 * that stopped the copy: a failed remote read or pointer move, 13 when the
 * agent reports another file position than the one asked for, a failed
 * local create, write (29 when fewer bytes were written than asked), flush,
 * close or rename. After any failure the local file is as it was and no
 * new file is left behind. AgentGetLastError holds the same cause as the
 * thread's last error. */
BOOL AGENTAPI AgentCopyFileFromAgent(AGENT_LOGON logon, const WCHAR *remote, const WCHAR *local);
/* Copies a remote file into localPath as CopyFileExW copies a local one:
 * 1 MiB reads at explicit offsets on up to four connections at once into a
 * partial file in localPath's folder, ".agent-partial:<name>" (on Windows
 * ".agent-partial-<name>"; a name too long for that is cut and ends in a
 * hash), created without following links and renamed over localPath (which
 * then carries the remote last-write time; a link there is replaced, never
 * written through) only once exactly the size the agent reported has
 * arrived and, unless AGENT_COPY_FILE_NO_FLUSH, reached the disk. progress (may be null) runs on the calling thread after every
 * chunk and once more at the end; *cancel (may be null) is read between
 * chunks and, while the copy waits for the agent, at least every 100 ms
 * (a wait it ends closes its connection), so a raised flag ends the copy
 * even when the agent has stopped answering. PROGRESS_STOP keeps the partial file; COPY_FILE_RESTARTABLE keeps
 * it after a failure too, and continues one whose last 32 bytes record the
 * same remote size and last-write time, if it is a regular file with one
 * link owned by the caller. Returns 1 when localPath holds the
 * whole file, else 0 with 87 (null or empty path, unknown flag; nothing
 * touched), 80 (localPath exists and COPY_FILE_FAIL_IF_EXISTS), 1235
 * (stopped or cancelled), 1006 (the remote file changed size), the agent's
 * status, a socket error, 13, or a local file error; localPath is then as
 * it was. AgentGetLastError holds the same cause. */
BOOL AGENTAPI AgentCopyFileFromAgentExW(AGENT_LOGON logon, const WCHAR *remotePath, const WCHAR *localPath, AgentCopyProgressRoutine progress, void *context, BOOL *cancel, DWORD flags);
/* The mirror of AgentCopyFileFromAgentExW: copies localPath onto the agent
 * as remotePath. The data go in 1 MiB writes on up to four connections at
 * once into a partial file beside the target, "<name>~<hash>.agent-put"
 * (the hash is of the target's name, which is cut where the partial name
 * would pass 255 characters, or 259 for the whole path). That file gets the
 * local last-write time, its size is checked on the agent, and only then
 * does it take the name remotePath. An existing remotePath is first moved
 * aside to "<name>~<hash>.agent-old", removed once the new file has its
 * name and moved back if it cannot get it; a copy interrupted between those
 * moves is put right by the next copy to the same target, so the agent
 * always holds the old file or the new one. progress and *cancel as for
 * AgentCopyFileFromAgentExW (the total is the local size). PROGRESS_STOP,
 * and with COPY_FILE_RESTARTABLE a failure, keep the partial file, whose
 * last 32 bytes record how much it holds of which local version (size and
 * last-write time); a restartable copy of an unchanged local file
 * continues from there, any other starts over. Returns 1 when remotePath
 * holds the whole file, else 0 with 87 (null or empty path, unknown flag;
 * nothing touched), 80 (remotePath exists and COPY_FILE_FAIL_IF_EXISTS), 5
 * (remotePath is a folder or read-only), 1235 (stopped or cancelled), 1006
 * (the local file changed during the copy, or the agent's file did not
 * reach the local size), 13 (the agent put its file pointer elsewhere), 29
 * (the agent wrote fewer bytes than sent), the local file's error, the
 * agent's status or a socket error; remotePath is then as it was.
 * AgentGetLastError holds the same cause. */
BOOL AGENTAPI AgentCopyFileToAgentExW(AGENT_LOGON logon, const WCHAR *localPath, const WCHAR *remotePath, AgentCopyProgressRoutine progress, void *context, BOOL *cancel, DWORD flags);

/* One file of AgentCopyFilesFromAgentW or AgentCopyFilesToAgentW.
 * From the agent: with AGENT_COPY_ITEM_KNOWN in known, size and lastWrite
 * are what a listing of the agent gave: the copy then asks the agent
 * nothing more about the file (for a file under 1 MiB: open, one read of
 * size + 1 bytes that proves the size, and close, sent together on one
 * connection and answered in turn, one round trip; one at a time under a
 * bandwidth limit), and a file found to have changed since is copied again
 * as it is now. To the agent: with
 * AGENT_COPY_ITEM_KNOWN, size and lastWrite are the local file's as the
 * caller listed it; the copy puts that version only, and a local file of
 * another size or last-write time when it is opened gets 1006 with nothing
 * written on the agent (without the flag, the file as it is then). With
 * AGENT_COPY_ITEM_TARGET_ABSENT (to the agent only), the caller vouches
 * that nothing stands at remotePath or beside it (a folder it has just
 * created): the copy skips its two looks there, two exchanges fewer; a
 * name found taken after all when the file moves in is then looked at and
 * handled as without the flag. result is written for every item: 0 when
 * the target holds the whole file, else the cause, as the one-file copy of
 * that direction gives it (1235 for an item a cancel left undone). */
typedef struct AGENT_COPY_ITEM {
    const WCHAR *remotePath;
    const WCHAR *localPath;
    ULONGLONG size;
    FILETIME lastWrite;
    DWORD known;
    DWORD result;
} AGENT_COPY_ITEM;
#define AGENT_COPY_ITEM_KNOWN 1
#define AGENT_COPY_ITEM_TARGET_ABSENT 2

/* Progress of AgentCopyFilesFromAgentW and AgentCopyFilesToAgentW, on the calling thread: once per
 * finished item, in the order the items finish, with the item's index and
 * result and its size when copied (0 otherwise); and, while bytes arrive
 * but no item finishes (a large file), with index
 * AGENT_COPY_PROGRESS_BYTES, result and itemBytes 0. bytesCopied is every
 * byte that has arrived so far, items under way and resumed partial files
 * included. PROGRESS_CANCEL or PROGRESS_STOP ends the call: items not yet
 * started get 1235, items under way end as the Ex copy ends on that answer
 * (a stop keeps their partial files; one that holds every byte finishes).
 * PROGRESS_QUIET ends the calls. */
#define AGENT_COPY_PROGRESS_BYTES 0xFFFFFFFFu
typedef DWORD (AGENTAPI *AgentCopyItemRoutine)(DWORD index, DWORD result, ULONGLONG itemBytes, ULONGLONG bytesCopied, void *context);

/* Copies count files, each as AgentCopyFileFromAgentExW would (the same
 * flags, partial file, exact size, remote last-write time and restart),
 * with several in flight at once on separate connections of the logon.
 * How many follows the measured round trip and throughput: few on
 * loopback, more when the round trip is long, fewer when the agent
 * refuses or resets connections; maxInFlight caps it (0: the library's
 * cap, 64, the most it takes). Above 1, files known to be larger than
 * 1 MiB start first, on two connections each (with 1: list order, four
 * connections, as the Ex copy). progress (may be null) is described above;
 * *cancel (may be null) is read while the copies run. Returns 1 when every
 * item was copied, else 0 with 87 (null logon, null items with count > 0,
 * unknown flag: no item touched), 1235 (cancelled), or the result of the
 * first failed item in list order. An item with a null or empty path gets
 * 87 and the others go on. Items must name distinct local paths.
 * AgentGetLastError holds the same cause. */
BOOL AGENTAPI AgentCopyFilesFromAgentW(AGENT_LOGON logon, AGENT_COPY_ITEM *items, DWORD count, AgentCopyItemRoutine progress, void *context, BOOL *cancel, DWORD flags, DWORD maxInFlight);
/* The mirror of AgentCopyFilesFromAgentW: copies each item's localPath
 * onto the agent as its remotePath, as AgentCopyFileToAgentExW would (the
 * same flags, partial name beside the target, size check on the agent,
 * local last-write time, a replaced target moved aside until the new file
 * has its name, restart), with as many in flight as the from-agent copy
 * chooses, under the same cap. progress, *cancel, the item results and
 * bytesCopied (bytes written onto the agent) as for that copy. A new file
 * up to 1 MiB costs four round trips: two looks (none with
 * AGENT_COPY_ITEM_TARGET_ABSENT), its partial file's create, write, time,
 * close and size check sent together on one connection and answered in
 * turn, and the move; a replaced one two more. Such a file is written
 * whole, never continued, and under a bandwidth limit its exchanges go
 * one at a time. Returns 1 when
 * every item was copied, else 0 with 87 (null logon, null items with
 * count > 0, unknown flag: no item touched), 1235
 * (cancelled), or the result of the first failed item in list order. An
 * item with a null or empty path gets 87 and the others go on. Items must
 * name distinct remote paths. AgentGetLastError holds the same cause. */
BOOL AGENTAPI AgentCopyFilesToAgentW(AGENT_LOGON logon, AGENT_COPY_ITEM *items, DWORD count, AgentCopyItemRoutine progress, void *context, BOOL *cancel, DWORD flags, DWORD maxInFlight);

/* Entries of AgentListTreeW. kind: */
#define AGENT_TREE_FOLDER 1   /* a folder about to be listed (the root first) */
#define AGENT_TREE_FILE 2     /* a file (a file link too: its attributes say so) */
#define AGENT_TREE_SKIPPED 3  /* left out; cause is one of AGENT_SKIP_* */
#define AGENT_TREE_FAILED 4   /* a folder that could not be opened or listed; cause is the error */
#define AGENT_TREE_FOLDER_END 5 /* a folder's listing has ended: none of its entries follows */
/* Why an entry was left out. */
#define AGENT_SKIP_DIRECTORY_LINK 1 /* a directory link, not entered without AGENT_TREE_FOLLOW_LINKS */
#define AGENT_SKIP_LOOP 2           /* a folder reached again (same volume serial and file index) */
#define AGENT_SKIP_LINK_LEADS_OUT 3 /* a link whose target the agent does not serve (it answered 5) */
#define AGENT_SKIP_BROKEN_LINK 4    /* a link to nothing (2 or 3) */
#define AGENT_SKIP_TOO_DEEP 5       /* a folder below maxDepth */
#define AGENT_SKIP_TOO_MANY 6       /* a folder found while maxQueued folders waited to be listed */
#define AGENT_SKIP_BY_HOST 7        /* a folder the callback answered AGENT_TREE_SKIP for */
#define AGENT_SKIP_BAD_NAME 8       /* a name holding \ or /: no path can name the entry */
#define AGENT_SKIP_CAUSES 9
/* flags */
#define AGENT_TREE_FOLLOW_LINKS 1   /* enter directory links (loops are still found) */

typedef struct AGENT_TREE_ENTRY {
    const WCHAR *path;                /* the entry's whole remote path */
    const WIN32_FIND_DATAW *findData; /* as the parent's listing gave it; for a folder its name,
                                         attributes and times only; null for the root folder, a
                                         failure or a folder's end */
    DWORD depth;                      /* 0 for the root, 1 for its entries, ... */
    DWORD kind;
    DWORD cause;
} AGENT_TREE_ENTRY;

typedef struct AGENT_TREE_COUNTS {
    ULONGLONG folders, files, failures;
    ULONGLONG skipped[AGENT_SKIP_CAUSES]; /* by cause */
} AGENT_TREE_COUNTS;

/* Callback answers. */
#define AGENT_TREE_CONTINUE 0
#define AGENT_TREE_STOP 1   /* end the listing */
#define AGENT_TREE_SKIP 2   /* for a folder: do not list it */
/* Runs on the calling thread, one entry at a time; strings are the library's. */
typedef DWORD (AGENTAPI *AgentTreeCallback)(const AGENT_TREE_ENTRY *entry, void *context);

/* Lists the tree below root, several folders at once on separate
 * connections (maxInFlight searches, 0: 8, at most 64), and hands every
 * folder, file, skip and failure to callback, and the end of each
 * folder's entries. A folder whose search yields nothing is opened, to
 * tell an empty folder from one the agent cannot read (a failure). Directory links are entered
 * only with AGENT_TREE_FOLLOW_LINKS, after every real folder, and then a
 * folder reached again is a loop. Memory stays bounded whatever the agent
 * sends: folders deeper than maxDepth (0: 256) and folders found while
 * maxQueued (0: 100000) wait to be listed are skipped and counted, and
 * entries wait for the callback in a queue of fixed size. A root that is a
 * file gives one AGENT_TREE_FILE entry. counts (may be null) receives the
 * totals. 1 when the listing ran to its end (skips and failures below the
 * root included), else 0 with 87 (null logon, root or callback; unknown
 * flag), the error of the root, or 1223 when the callback stopped it.
 * AgentGetLastError holds the same cause. */
BOOL AGENTAPI AgentListTreeW(AGENT_LOGON logon, const WCHAR *root, DWORD flags, DWORD maxDepth, DWORD maxQueued, DWORD maxInFlight, AgentTreeCallback callback, void *context, AGENT_TREE_COUNTS *counts);

/* ---- Directory enumeration ------------------------------------------ */

/* Starts a search; fills *data with the first entry. The search handle, or
 * null with 18 (no entries, whatever the agent's reason), 87, 13 (entry
 * that cannot be decoded), 10040 (oversized entry) or a socket error.
 * End it with AgentCloseHandle: after the last entry the connection is
 * reused, before it the connection is closed. */
HANDLE AGENTAPI AgentFindFirstFileW(AGENT_LOGON logon, const WCHAR *pattern, WIN32_FIND_DATAW *data);
/* As AgentFindFirstFileW, with the agent-defined search value. */
HANDLE AGENTAPI AgentFindFirstFile2W(AGENT_LOGON logon, const WCHAR *pattern, int32_t value, WIN32_FIND_DATAW *data);
/* The next entry: 1, or 0 with 18 at the end, 87, 6 (not a live search
 * handle), 12 (search already at its end), 13 (entry that cannot be
 * decoded; the search goes on with the next one), 10040 or a socket error. */
BOOL AGENTAPI AgentFindNextFileW(HANDLE search, WIN32_FIND_DATAW *data);

/* ---- Drives, disk space, OS version --------------------------------- */

/* Starts a drive enumeration; fills *info with the first drive. The handle,
 * or null with 18 (no drives), 87, 13, 10040 or a socket error. End it with
 * AgentCloseHandle. */
HANDLE AGENTAPI AgentFindFirstLogicalDriveW(AGENT_LOGON logon, AgentDriveInfo *info);
/* The next drive: 1, or 0 with 18 at the end, 87, 6 (not a live drive
 * handle), 12, 13 (record that cannot be decoded: the fields read before
 * the fault are written) or a socket error. */
BOOL AGENTAPI AgentFindNextLogicalDriveW(HANDLE drives, AgentDriveInfo *info);
/* Disk geometry and space of the volume holding path. 1 / 0 (87, agent
 * status, socket error); never writes AgentGetLastError's value. */
BOOL AGENTAPI AgentGetDiskFreeSpace(AGENT_LOGON logon, const WCHAR *path, DWORD *sectorsPerCluster, DWORD *bytesPerSector, DWORD *freeClusters, DWORD *totalClusters);
/* The agent's OS version value; 0 for a null logon or when no connection
 * could be had, 0xFFFFFFFF when the exchange failed. Never writes
 * AgentGetLastError's value. */
DWORD AGENTAPI AgentGetOSVersion(AGENT_LOGON logon);

/* ---- Path lists ----------------------------------------------------- */

/* Streams every path under path to callback on the calling thread.
 * Returns 0 in every case; the last error (and AgentGetLastError) tells
 * how the list ended: 18 when it reached its end, else 87 (null callback),
 * 13 (entry that cannot be decoded), 1223 (stopped by AgentStopPathList),
 * 10040 or a socket error. A complete list is
 * !AgentGetPathList(...) && GetLastError() == ERROR_NO_MORE_FILES. */
BOOL AGENTAPI AgentGetPathList(AGENT_LOGON logon, const WCHAR *path, AgentPathListCallback callback, void *context);
/* The protocol's path-list cancel, sent only on a connection whose list is
 * running; the connection this call takes from the logon is idle, so it
 * sends nothing and returns 0 with 12 (1 would mean the cancel went out).
 * Never writes AgentGetLastError's value. To end a running list early, call
 * AgentStopPathList from its callback. */
BOOL AGENTAPI AgentCancelPathList(AGENT_LOGON logon);
/* Called from an AgentPathListCallback: once the callback returns, the path
 * list that called it hands out no further entries, sends the cancel
 * request, closes its connection and returns 0 with 1223. 1 when such a
 * list is running on this thread, else 0 with 12. */
BOOL AGENTAPI AgentStopPathList(void);

/* ---- Discovery -------------------------------------------------------- */

/* Opens a prober that sends probes to UDP port and calls callback (on the
 * prober's own thread) for every answer. The prober, or null: 87 for port 0
 * or a null callback; null also when the first sweep sent nothing. */
AGENT_PROBER AGENTAPI AgentOpenProbe(WORD port, AgentProbeCallback callback, void *context);
/* Broadcasts one probe on every adapter's subnet. 1 when at least one went
 * out, else 0 (87 for a null prober; otherwise no last error is set). */
BOOL AGENTAPI AgentDoProbe(AGENT_PROBER prober);
/* Stops the receive thread (waits for a callback in progress; none runs
 * afterwards) and frees the prober. 1; 0 with 87 for a null prober.
 * Never call it from inside the callback. */
BOOL AGENTAPI AgentCloseProbe(AGENT_PROBER prober);

/* ---- User data locations --------------------------------------------- */

/* The agent's path of a shell folder (CSIDL number; flag 0 current, 1
 * default path) into path (260 code units: at most 259 characters, a longer
 * path is cut). 1 / 0 (87 also for a bad flag or null path, agent status,
 * socket error); path is empty after a failure of the exchange. */
BOOL AGENTAPI AgentGetFolderPathW(AGENT_LOGON logon, DWORD folder, DWORD flag, WCHAR *path);
/* 1 when the agent reports Firefox 3 bookmarks, 0 otherwise (its status,
 * 87 or a socket error as the cause). */
BOOL AGENTAPI AgentFirefox3Exists(AGENT_LOGON logon);
/* The agent's Firefox 3 bookmark file path into path (260 code units, as
 * AgentGetFolderPathW). 1 / 0 (87, agent status, socket error). */
BOOL AGENTAPI AgentGetFirefox3BookmarkPath(AGENT_LOGON logon, WCHAR *path);
/* The agent's IE favorites folder into path (260 code units, as
 * AgentGetFolderPathW). 1 / 0 (87, agent status, socket error). */
BOOL AGENTAPI AgentGetIEFavoritePath(AGENT_LOGON logon, WCHAR *path);
/* Copies the Firefox 3 bookmark file (the agent's path, used whole) into
 * localFile. 1 only when the whole file was copied; 0 with the agent's
 * status for the path or the copy's cause (as AgentCopyFileFromAgent). */
BOOL AGENTAPI AgentGetFirefox3Bookmark(AGENT_LOGON logon, const WCHAR *localFile);

/* ---- Mail stores ------------------------------------------------------ */

/* The number of PST stores on the agent's PC into *count. 1 / 0 (*count
 * then 0) with 87 (null logon or count), 12, the agent's status, a socket
 * error, or 13 for a count of 0xFFFFFFFF. */
BOOL AGENTAPI AgentGetAgentPstCount(AGENT_LOGON logon, DWORD *count);
/* Calls callback for every store (path, second text) on the calling
 * thread. 1 / 0 (87 null logon or callback, 12, the agent's status, a
 * socket error); a list that breaks off part-way gives 0 after the stores
 * before the break were reported. Never writes AgentGetLastError's value. */
BOOL AGENTAPI AgentGetPSTList(AGENT_LOGON logon, AgentPstListCallback callback, void *context);
/* Asks the agent to merge stores. 1 / 0 (87 null logon, null first text,
 * empty second or third text, null arrays or count 0; 12; the agent's
 * status; a socket error); never writes AgentGetLastError's value. */
BOOL AGENTAPI AgentMergePST(AGENT_LOGON logon, const WCHAR *first, const WCHAR *second, const WCHAR *third, const WCHAR *const *names, const DWORD *values, DWORD count);
/* Creates localDirectory (last level) and copies every store into it, the
 * store's path used whole, each as AgentCopyFileFromAgent copies. A
 * localDirectory that is itself a link is not entered: 0 with 1921. Local names (AgentGetPstLocalNames gives
 * them): a store keeps its file name (what follows the last \ or / of its
 * path) unless an earlier store of the list has the same name, compared as
 * Windows compares file names (without case, beyond ASCII too: "Ä.pst"
 * and "ä.pst" are one name); each such later store is named
 * "<stem> (N)<extension>" with the smallest N from 2 that no other store's
 * name takes (outlook.pst, outlook (2).pst, ...). The same list gives the
 * same names on every run; an existing local file of that name is
 * replaced. 1 when every store was copied whole; 0 when the list failed or
 * any store was not copied (the rest are still attempted), with the last
 * cause: the copy's, 123 for a name that is not a plain file name (".",
 * "..", a colon, a device name...), 206 for a target over 259 characters. */
BOOL AGENTAPI AgentGetPst2Local(AGENT_LOGON logon, const WCHAR *localDirectory);
/* The file names AgentGetPst2Local gives the copies of count stores
 * (storePaths in list order, as AgentGetPSTList reports them) in its
 * directory: block i of names (count blocks of 260 code units) gets store
 * i's name, or an empty string when the store gets no copy; errors (count
 * values, may be null) gets 0 or the reason: 123 (not a plain file name)
 * or 206 (a name over 259 characters). 1 when every store has a name; 0
 * with the last reason, or with 87 when count > 0 and storePaths or names
 * is null. Touches no file and no agent; never writes AgentGetLastError's
 * value. */
BOOL AGENTAPI AgentGetPstLocalNames(const WCHAR *const *storePaths, DWORD count, WCHAR *names, DWORD *errors);

#ifdef __cplusplus
}
#endif

#endif /* AGENT_STUB_H */
