// The find-data record of searches and path lists.
#ifndef AGENT_FIND_DATA_H
#define AGENT_FIND_DATA_H

#include "platform/platform.h"

#include <ace/CDR_Stream.h>

namespace agent {

// Clears `data`, then reads attributes, three FILETIMEs, size (low word
// first) and the name, cut to 259 characters. False at the first field that
// cannot be read; the fields read before it stay written.
bool ReadFindData(ACE_InputCDR &in, WIN32_FIND_DATAW &data);

} // namespace agent

#endif
