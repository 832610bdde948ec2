// File names compared the way Windows compares them: code unit by code
// unit after a fixed uppercase mapping, with no locale and no
// normalisation, so "Ä.pst" and "ä.pst" name one file but "ß" and "SS" do
// not. The mapping is Unicode's simple one for the BMP, built in, so both
// targets give the same answer.
#ifndef AGENT_API_FILE_NAME_CASE_H
#define AGENT_API_FILE_NAME_CASE_H

#include "platform/platform.h"

#include <cstddef>
#include <string>

namespace agent {

WCHAR UpcaseFileNameUnit(WCHAR c);

// The key under which two names are one file: the name upcased unit by unit.
std::basic_string<WCHAR> FileNameKey(const WCHAR *name, size_t length);

} // namespace agent

#endif
