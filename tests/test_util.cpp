// The shared errno-to-Win32 table: every errno it names, with the numbers
// the Win32 headers give (written out, not taken from the constants), and
// the caller's fallback for everything else.
#include "util/win32_codes.h"

#include <gtest/gtest.h>

#include <cerrno>

// errno is the POSIX side's: Windows callers map their own codes.
#ifndef _WIN32

using agent::util::Win32FromErrno;

TEST(Win32Codes, ErrnoTableAndFallback)
{
    constexpr uint32_t kFallback = ~0u; // unnamed: the caller's fallback
    struct Case {
        int error;
        uint32_t code;
    } cases[] = {
        {0, 0},          {ENOENT, 2},      {ENOTDIR, 3},        {EACCES, 5},          {EPERM, 5},
        {EISDIR, 5},     {EEXIST, 80},     {ENOSPC, 112},       {EDQUOT, 112},        {EFBIG, 112},
        {EROFS, 19},     {ENAMETOOLONG, 206}, {EMFILE, 4},      {ENFILE, 4},          {ENOMEM, 8},
        {EBADF, 6},      {EBUSY, 32},      {ETXTBSY, 32},       {EXDEV, 17},          {ENOTEMPTY, 145},
        {EINVAL, 87},    {EIO, kFallback}, {ELOOP, kFallback},  {EILSEQ, kFallback},  {EAGAIN, kFallback},
        {ECONNRESET, kFallback},           {-1, kFallback},     {100000, kFallback},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        // ERROR_WRITE_FAULT unless the caller gives a fallback of its own.
        EXPECT_EQ(Win32FromErrno(c.error), c.code == kFallback ? 29u : c.code);
        EXPECT_EQ(Win32FromErrno(c.error, 31), c.code == kFallback ? 31u : c.code);
    }
}

#endif
