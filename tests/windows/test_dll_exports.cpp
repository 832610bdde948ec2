// The shipped agent_stub.dll as a Windows host sees it: loaded by name,
// exports found by their plain names, the real kernel32 last error set.
#include "agent_stub.h"
#include "fake_agent.h"
#include "file_messages.h"
#include "protocol/fss_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Every AGENTAPI function the public header declares (generated at configure time).
const char *const kHeaderExports[] = {
#include "agent_exports.inc"
};

class DllTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        module_ = ::LoadLibraryA("agent_stub.dll");
        loadError_ = ::GetLastError();
    }
    static void TearDownTestSuite()
    {
        if (module_ != nullptr)
            ::FreeLibrary(module_);
        module_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << "LoadLibrary failed with " << loadError_; }

    template <typename T> static T *Export(const char *name)
    {
        return reinterpret_cast<T *>(reinterpret_cast<void *>(::GetProcAddress(module_, name)));
    }

    static const IMAGE_NT_HEADERS32 *NtHeaders()
    {
        const auto *base = reinterpret_cast<const unsigned char *>(module_);
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        return reinterpret_cast<const IMAGE_NT_HEADERS32 *>(base + dos->e_lfanew);
    }
    template <typename T> static const T *At(DWORD rva)
    {
        return reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(module_) + rva);
    }

    // The names in the DLL's export table.
    static std::set<std::string> ExportedNames()
    {
        std::set<std::string> names;
        const IMAGE_DATA_DIRECTORY &dir = NtHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (dir.VirtualAddress == 0)
            return names;
        const auto *exports = At<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
        const auto *nameRvas = At<DWORD>(exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(At<char>(nameRvas[i]));
        return names;
    }

    // The DLLs it imports from.
    static std::vector<std::string> ImportedDlls()
    {
        std::vector<std::string> dlls;
        const IMAGE_DATA_DIRECTORY &dir = NtHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0)
            return dlls;
        for (const auto *d = At<IMAGE_IMPORT_DESCRIPTOR>(dir.VirtualAddress); d->Name != 0; ++d)
            dlls.emplace_back(At<char>(d->Name));
        return dlls;
    }

    static HMODULE module_;
    static DWORD loadError_;
};

HMODULE DllTest::module_ = nullptr;
DWORD DllTest::loadError_ = 0;

TEST_F(DllTest, IsA32BitImageThatNeedsNoMinGWRuntime)
{
    EXPECT_EQ(NtHeaders()->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_EQ(NtHeaders()->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    for (const std::string &dll : ImportedDlls()) {
        std::string lower = dll;
        for (char &c : lower)
            c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
        // libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll would have
        // to ship beside the DLL; system DLLs have no "lib" prefix.
        EXPECT_NE(lower.rfind("lib", 0), 0u) << "imports " << dll;
    }
}

TEST_F(DllTest, ExportsExactlyTheHeaderFunctionsByPlainName)
{
    const std::set<std::string> exported = ExportedNames();
    const std::set<std::string> declared(std::begin(kHeaderExports), std::end(kHeaderExports));
    ASSERT_GT(declared.size(), 40u) << "the header's export list was not found";
    for (const std::string &name : declared) {
        EXPECT_TRUE(exported.count(name)) << name << " is not exported";
        EXPECT_NE(::GetProcAddress(module_, name.c_str()), nullptr) << name;
    }
    // Nothing else: no decorated duplicates, no C++ or ACE internals.
    for (const std::string &name : exported)
        EXPECT_TRUE(declared.count(name)) << "unexpected export " << name;
}

TEST_F(DllTest, MisspelledCreateDirectoryIsTheSameEntryPoint)
{
    void *real = Export<void>("AgentCreateDirectoryW");
    void *alias = Export<void>("AgetnCreateDirectoryW");
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real, alias);
}

// Through stdcall pointers, as a host calls them: a wrong convention or
// argument size would unbalance the stack here. The cause lands in
// kernel32's last error, which is what hosts read.
TEST_F(DllTest, ArgumentErrorsReachTheThreadsLastError)
{
    auto *logon = Export<decltype(AgentLogonW)>("AgentLogonW");
    auto *logoff = Export<decltype(AgentLogoff)>("AgentLogoff");
    ASSERT_NE(logon, nullptr);
    ASSERT_NE(logoff, nullptr);

    ::SetLastError(0);
    EXPECT_EQ(logon(nullptr, 7000, L"user", L"secret"), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ::SetLastError(0);
    EXPECT_EQ(logon(L"127.0.0.1", 0, L"user", L"secret"), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ::SetLastError(0);
    EXPECT_EQ(logoff(nullptr), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A whole exchange inside the DLL (its own ACE, started by AgentInit)
// against the fake agent, through the plain export names. The bytes on the
// wire must be those of the same calls made inside the library's tests.
TEST_F(DllTest, ExchangesWithAnAgentThroughTheExports)
{
    using agent::OpCreateDirectory;
    using agent::OpGetFileAttributesEx;
    auto *init = Export<decltype(AgentInit)>("AgentInit");
    auto *fini = Export<decltype(AgentFini)>("AgentFini");
    auto *logon = Export<decltype(AgentLogonW)>("AgentLogonW");
    auto *logoff = Export<decltype(AgentLogoff)>("AgentLogoff");
    auto *attributes = Export<decltype(AgentGetFileAttributesExW)>("AgentGetFileAttributesExW");
    auto *misspelled = Export<decltype(AgentCreateDirectoryW)>("AgetnCreateDirectoryW");
    auto *lastAgentError = Export<decltype(AgentGetLastError)>("AgentGetLastError");
    ASSERT_TRUE(init && fini && logon && logoff && attributes && misspelled && lastAgentError);

    fake::FakeAgent agent;
    agent.Always(OpGetFileAttributesEx, fake::AttributeDataReply(fake::AttributeData(
                                            0x20, {1, 2}, {3, 4}, {5, 6}, (uint64_t(7) << 32) + 1000)));
    agent.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, ERROR_ACCESS_DENIED));

    ASSERT_EQ(init(), 1);
    AGENT_LOGON session = logon(L"127.0.0.1", agent.port(), L"user", L"secret");
    ASSERT_NE(session, nullptr) << "logon through the DLL failed: " << ::GetLastError();

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_EQ(attributes(session, L"C:\\Users", &data), 1);
    EXPECT_EQ(data.dwFileAttributes, 0x20u);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 5u);
    EXPECT_EQ(data.nFileSizeLow, 1000u);
    EXPECT_EQ(data.nFileSizeHigh, 7u);

    ::SetLastError(0);
    EXPECT_EQ(misspelled(session, L"C:\\New"), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(lastAgentError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const auto attributeRequests = agent.RequestsOf(OpGetFileAttributesEx);
    const auto directoryRequests = agent.RequestsOf(OpCreateDirectory);
    ASSERT_EQ(attributeRequests.size(), 1u);
    ASSERT_EQ(directoryRequests.size(), 1u);
    EXPECT_EQ(attributeRequests[0].raw(),
              fake::PathRequest(OpGetFileAttributesEx, fake::W(u"C:\\Users")));
    EXPECT_EQ(directoryRequests[0].raw(),
              fake::PathRequest(OpCreateDirectory, fake::W(u"C:\\New")));

    EXPECT_EQ(logoff(session), 1);
    EXPECT_EQ(fini(), 1);
}

} // namespace
