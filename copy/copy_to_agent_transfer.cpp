// A chunk of AgentCopyFileToAgentExW: read from the local file at its
// offset, written at the same offset on the agent.
#include "copy/copy_to_agent.h"

namespace agent {
namespace copy_to {

namespace {

class WriteChunks final : public chunks::Mover {
public:
    explicit WriteChunks(HANDLE local) : local_(local) {}

    bool Prepare(chunks::Chunk &chunk) override
    {
        DWORD got = 0;
        if (platform::ReadFileAt(local_, chunk.buffer, chunk.length, chunk.offset, &got) != 0)
            return false;
        // The local file shrank under the copy: the copy would not be the
        // file.
        if (got != chunk.length) {
            SetLastError(ERROR_FILE_INVALID);
            return false;
        }
        return true;
    }

    bool Move(chunks::Chunk &chunk) override
    {
        return WriteRemoteAt(chunk.remote, &chunk.position, chunk.buffer, chunk.length, chunk.offset) == 0;
    }

private:
    HANDLE local_;
};

} // namespace

TransferOutcome Transfer(TransferPlan &plan, const WCHAR *partialPath)
{
    plan.runChunks = kRunChunks;
    plan.closeChecked = true;
    plan.reopenPath = partialPath;
    plan.reopenAccess = GENERIC_WRITE;
    plan.reopenShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    plan.reopenAttributes = 0;
    WriteChunks mover(plan.local);
    return chunks::Run(plan, mover);
}

} // namespace copy_to
} // namespace agent
