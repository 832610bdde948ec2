/* A host built outside the tree, against an installed agent_stub only:
 * the version it compiled against must be the one asked for, and the
 * library must answer through its C interface (a refused logon on
 * loopback, a null logon). Exit 0 and "consumer ok" when all holds. */
#include <agent_stub.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void Check(int ok, const char *what, unsigned long got)
{
    if (!ok) {
        printf("FAIL: %s (got %lu)\n", what, got);
        ++failures;
    }
}

/* WCHAR is char16_t or wchar_t by target: build the text at run time. */
static void Widen(const char *text, WCHAR *out, size_t size)
{
    size_t i = 0;
    for (; text[i] != 0 && i + 1 < size; ++i)
        out[i] = (WCHAR)(unsigned char)text[i];
    out[i] = 0;
}

int main(int argc, char **argv)
{
    char version[32];
    WCHAR host[64], user[8], password[8];
    AGENT_LOGON logon;
    if (argc != 4) {
        printf("usage: consumer VERSION HOST CLOSED-PORT\n");
        return 2;
    }
    snprintf(version, sizeof version, "%d.%d.%d", AGENT_STUB_VERSION_MAJOR, AGENT_STUB_VERSION_MINOR,
             AGENT_STUB_VERSION_PATCH);
    Check(strcmp(version, argv[1]) == 0, "header version differs from the package's", 0);

    Check(AgentInit() == 1, "AgentInit", 0);
    Widen(argv[2], host, 64);
    Widen("user", user, 8);
    Widen("secret", password, 8);
    /* Nothing listens there: a refused connect, 10061 in both places. */
    logon = AgentLogonW(host, (DWORD)strtoul(argv[3], NULL, 10), user, password);
    Check(logon == NULL, "logon to a closed port succeeded", 0);
    Check(GetLastError() == 10061, "last error after a refused logon", (unsigned long)GetLastError());
    Check(AgentGetLastError() == 10061, "AgentGetLastError after a refused logon",
          (unsigned long)AgentGetLastError());
    Check(AgentGetPathList(NULL, host, NULL, NULL) == 0 && GetLastError() == ERROR_INVALID_PARAMETER,
          "path list on a null logon", (unsigned long)GetLastError());
    Check(AgentFini() == 1, "AgentFini", 0);

    if (failures != 0)
        return 1;
    printf("consumer ok: agent_stub %s\n", version);
    return 0;
}
