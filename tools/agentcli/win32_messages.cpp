#include "win32_messages.h"

namespace agentcli {

namespace {

struct Message {
    uint32_t code;
    const char *text;
};

const Message kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {12, "The access code is invalid."},
    {13, "The data is invalid."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {29, "The system cannot write to the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {71, "No more connections can be made to this remote computer at this time because there are already as many "
         "connections as the computer can accept."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid (the "
           "file changed during the copy)."},
    {1235, "The request was aborted."},
    {1245, "The operation being requested was not performed because the user has not logged on to the network."},
    {1326, "The user name or password is incorrect."},
    {1359, "An internal error occurred."},
    {10004, "A blocking operation was interrupted."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10040, "A message was larger than the internal message buffer or some other network limit."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space."},
    {10057, "A request to send or receive data was disallowed because the socket is not connected."},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of time."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {11001, "No such host is known."},
};

} // namespace

const char *Win32Message(uint32_t code)
{
    for (const Message &m : kMessages)
        if (m.code == code)
            return m.text;
    return "unknown error";
}

std::string DescribeError(uint32_t code)
{
    return "error " + std::to_string(code) + " (" + Win32Message(code) + ")";
}

} // namespace agentcli
