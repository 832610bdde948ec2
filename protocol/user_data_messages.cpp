#include "protocol/user_data_messages.h"

#include "protocol/fss_util.h"

namespace agent {
namespace protocol {

bool EncodeGetFolderPathRequest(ACE_OutputCDR &out, const GetFolderPathRequest &request)
{
    return out.write_ulong(request.folder) && out.write_ulong(request.flag);
}

bool DecodeGetFolderPathRequest(ACE_InputCDR &in, GetFolderPathRequest &request)
{
    ACE_CDR::ULong folder = 0, flag = 0;
    if (!in.read_ulong(folder) || !in.read_ulong(flag))
        return false;
    request.folder = folder;
    request.flag = flag;
    return true;
}

bool EncodePathReply(ACE_OutputCDR &out, uint32_t status, const WideText &path)
{
    return out.write_ulong(status) && (status != 0 || WriteWideString(out, path));
}

bool DecodePathReply(ACE_InputCDR &in, PathReply &reply)
{
    return ReadWord(in, reply.status) && (reply.status != 0 || reply.path.Read(in));
}

} // namespace protocol
} // namespace agent
