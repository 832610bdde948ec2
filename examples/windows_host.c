/*
 * A Windows host of agent_stub.dll: the public header, the import library
 * (agent_stub.lib / libagent_stub.dll.a), the __stdcall exports, and the
 * cause of a failure from kernel32's GetLastError.
 *
 *   windows_host [host [port [path]]]
 *
 * Logs on to the agent (user "backup", password "secret") and prints the
 * attributes of path (default C:\Users).
 */
#include "agent_stub.h"

#include <stdio.h>
#include <stdlib.h>

static WCHAR *Widen(const char *text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    WCHAR *wide = size > 0 ? (WCHAR *)malloc(sizeof(WCHAR) * (size_t)size) : NULL;
    if (wide != NULL && MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, size) <= 0) {
        free(wide);
        wide = NULL;
    }
    return wide;
}

int main(int argc, char **argv)
{
    const char *hostText = argc > 1 ? argv[1] : "127.0.0.1";
    DWORD port = argc > 2 ? (DWORD)strtoul(argv[2], NULL, 10) : 7000;
    const char *pathText = argc > 3 ? argv[3] : "C:\\Users";
    WCHAR *host = Widen(hostText);
    WCHAR *path = Widen(pathText);
    int status = 1;

    if (host == NULL || path == NULL || !AgentInit()) {
        fprintf(stderr, "setup failed: %lu\n", (unsigned long)GetLastError());
    } else {
        AGENT_LOGON logon = AgentLogonW(host, port, L"backup", L"secret");
        if (logon == NULL) {
            /* The cause is the calling thread's last error (kernel32), and
             * AgentGetLastError keeps the library's last failure. */
            DWORD error = GetLastError();
            printf("logon to %s:%lu failed: %lu (AgentGetLastError %lu)\n", hostText, (unsigned long)port,
                   (unsigned long)error, (unsigned long)AgentGetLastError());
            status = 2;
        } else {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (AgentGetFileAttributesExW(logon, path, &data)) {
                printf("%s: attributes 0x%lx, %lu bytes\n", pathText, (unsigned long)data.dwFileAttributes,
                       (unsigned long)data.nFileSizeLow);
                status = 0;
            } else {
                printf("%s: failed: %lu\n", pathText, (unsigned long)GetLastError());
                status = 3;
            }
            AgentLogoff(logon);
        }
        AgentFini();
    }
    free(host);
    free(path);
    return status;
}
