// The bytes that refuse a request in the shape its client reads, so that a
// refusal never looks like a broken agent; used by sessions and by the
// logon lobby alike.
#ifndef REFAGENT_REFUSAL_H
#define REFAGENT_REFUSAL_H

#include <cstdint>
#include <string>

namespace refagent {

// False when the opcode's reply has no status word, so that closing the
// connection is the only refusal; `bytes` left empty for requests that get
// no reply at all.
bool RefusalBytes(uint32_t opcode, uint32_t status, std::string &bytes);
// A reply carrying the status word alone.
std::string StatusBytes(uint32_t opcode, uint32_t status);

} // namespace refagent

#endif
