// Mail stores: OpMergePst (21), OpGetPstList (22), OpGetPstCount (34).
//
// The list and count requests are bare; the merge request carries three
// texts and named values and is answered by a status alone. The count
// reply is the status and, on 0, the count; the list reply the status and,
// on 0, a count and that many stores (a path and a second text each).
#ifndef AGENT_PROTOCOL_MAIL_STORE_MESSAGES_H
#define AGENT_PROTOCOL_MAIL_STORE_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace agent {
namespace protocol {

// Three texts, the item count, then each item's name and value; a null
// name goes out as the empty string. False also for a request larger than
// any payload an agent accepts (the stream then stays good).
bool EncodeMergePstRequest(ACE_OutputCDR &out, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                           const WCHAR *const *names, const DWORD *values, DWORD count);
struct MergePstRequest {
    WideText first;
    WideText second;
    WideText third;
    std::vector<std::pair<WideText, uint32_t>> items;
};
// A count the payload cannot hold (8 bytes an item at least) is refused
// before anything is reserved for it.
bool DecodeMergePstRequest(ACE_InputCDR &in, MergePstRequest &request);

struct GetPstCountReply {
    uint32_t status = 0;
    uint32_t count = 0;
};
bool EncodeGetPstCountReply(ACE_OutputCDR &out, const GetPstCountReply &reply);
bool DecodeGetPstCountReply(ACE_InputCDR &in, GetPstCountReply &reply);

struct PstStore {
    WideText path;
    WideText secondText;
};
bool EncodeGetPstListReply(ACE_OutputCDR &out, uint32_t status, const std::vector<PstStore> &stores);
// The list is decoded store by store, so that a list that breaks off still
// yields the stores before the break: the reply's status and, on 0, the
// count; then DecodePstStore once per store.
struct GetPstListReply {
    uint32_t status = 0;
    uint32_t count = 0;
};
bool DecodeGetPstListReply(ACE_InputCDR &in, GetPstListReply &reply);
bool DecodePstStore(ACE_InputCDR &in, OwnedWideString &path, OwnedWideString &secondText);

} // namespace protocol
} // namespace agent

#endif
