// The shared errno-to-Win32 table: every errno it names, with the numbers
// the Win32 headers give (written out, not taken from the constants), and
// the caller's fallback for everything else.
#include "util/win32_codes.h"

#include <gtest/gtest.h>

#include <cerrno>

// errno is the POSIX side's: Windows callers map their own codes.
#ifndef _WIN32

using agent::util::Win32FromErrno;

TEST(Win32Codes, BaseErrnoTable)
{
    struct Case {
        int error;
        uint32_t code;
    } cases[] = {
        {0, 0},           {ENOENT, 2},     {ENOTDIR, 3},   {EACCES, 5},   {EPERM, 5},      {EISDIR, 5},
        {EEXIST, 80},     {ENOSPC, 112},   {EDQUOT, 112},  {EFBIG, 112},  {EROFS, 19},     {ENAMETOOLONG, 206},
        {EMFILE, 4},      {ENFILE, 4},     {ENOMEM, 8},    {EBADF, 6},    {EBUSY, 32},     {ETXTBSY, 32},
        {EXDEV, 17},      {ENOTEMPTY, 145}, {EINVAL, 87},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(Win32FromErrno(c.error), c.code);
        // A named errno never falls through to the caller's fallback.
        EXPECT_EQ(Win32FromErrno(c.error, 31), c.code);
    }
}

TEST(Win32Codes, UnnamedErrnoGivesTheCallersFallback)
{
    for (int error : {EIO, ELOOP, EILSEQ, EAGAIN, ECONNRESET, -1, 100000}) {
        SCOPED_TRACE(error);
        EXPECT_EQ(Win32FromErrno(error), 29u); // ERROR_WRITE_FAULT unless told otherwise
        EXPECT_EQ(Win32FromErrno(error, 31), 31u);
    }
}

#endif
