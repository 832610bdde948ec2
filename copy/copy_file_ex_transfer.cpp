// A chunk of AgentCopyFileFromAgentExW: read from the agent at its offset,
// written to the partial file at the same offset.
#include "copy/copy_file_ex.h"

namespace agent {
namespace copy_ex {

namespace {

class ReadChunks final : public chunks::Mover {
public:
    explicit ReadChunks(HANDLE local) : local_(local) {}

    bool Move(chunks::Chunk &chunk) override
    {
        const DWORD ask = chunk.last ? chunk.length + 1 : chunk.length;
        DWORD got = 0;
        if (!AgentReadFilePosition(chunk.remote, chunk.buffer, ask, &got, static_cast<DWORD>(chunk.offset),
                                   static_cast<DWORD>(chunk.offset >> 32)))
            return false;
        // Fewer bytes before the end: the file shrank; one byte past it:
        // the file grew. Either way the copy would not be the file.
        if (got != chunk.length) {
            SetLastError(ERROR_FILE_INVALID);
            return false;
        }
        return chunk.length == 0 || platform::WriteFileAt(local_, chunk.buffer, chunk.length, chunk.offset) == 0;
    }

private:
    HANDLE local_;
};

} // namespace

TransferOutcome Transfer(TransferPlan &plan, const WCHAR *remotePath)
{
    plan.bufferSize = kChunkSize + 1; // the last read's byte past the end
    plan.emptyIsOneChunk = true;      // an empty file's one read proves it empty
    plan.reopenPath = remotePath;
    plan.reopenAccess = GENERIC_READ;
    plan.reopenShare = FILE_SHARE_READ;
    plan.reopenAttributes = FILE_ATTRIBUTE_NORMAL;
    ReadChunks mover(plan.local);
    return chunks::Run(plan, mover);
}

} // namespace copy_ex
} // namespace agent
