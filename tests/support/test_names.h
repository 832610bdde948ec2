// The support's names that nearly every test program uses, in one place.
#ifndef AGENT_TEST_TEST_NAMES_H
#define AGENT_TEST_TEST_NAMES_H

#include "wire.h"

namespace agent {
}

using fake::Bytes;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

#endif
