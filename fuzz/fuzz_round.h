// What every fuzz target shares: the scripted agent, one logon per input,
// and the checks a result must pass whatever the agent sent.
//
// An input is two control bytes (which export, one parameter) followed by
// the agent's replies in the order of the library's requests, joined with
// kSeparator. The first answers the logon.
#ifndef AGENT_FUZZ_ROUND_H
#define AGENT_FUZZ_ROUND_H

#include "agent_stub.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

class Round {
public:
    Round(const uint8_t *data, size_t size);
    ~Round(); // logs off and closes every connection of the round
    Round(const Round &) = delete;
    Round &operator=(const Round &) = delete;

    AGENT_LOGON logon() const { return logon_; }
    uint8_t selector() const { return selector_; }
    uint8_t parameter() const { return parameter_; }

    // A scratch directory of this process, emptied after every round.
    static const std::string &ScratchDir();

private:
    AGENT_LOGON logon_ = nullptr;
    uint8_t selector_ = 0;
    uint8_t parameter_ = 0;
};

// Aborts (a finding) when a property does not hold.
void Require(bool holds, const char *what);
// Sets the thread's last error to a non-zero held value before an export,
// so a failure that clears the cause is seen.
void Arm();
// A failed export must leave a non-zero cause in the thread's last error.
void RequireCause(const char *exportName);
// The string ends within `units` code units.
bool TerminatedWithin(const WCHAR *text, size_t units);
// Same as a UTF-16 literal, for the paths the targets pass.
std::basic_string<WCHAR> Wide(const char16_t *text);
std::basic_string<WCHAR> Wide(const std::string &utf8);

} // namespace fuzzing

#endif
