// tcp_error.cpp - the socket error messages: one log line per failed socket
// operation, in the words of the Windows Sockets documentation. On POSIX the
// platform layer has already turned errno into the matching Windows Sockets
// code, so the log reads the same everywhere.
#include "smtp/smtp_internal.h"
#include "support/support.h"

struct SocketErrorMessage {
  int code;
  const char* name;  // the Windows Sockets name of the code, for the reader
  const char* message;
};

static const SocketErrorMessage SOCKET_ERROR_MESSAGES[] = {
    {10004, "WSAEINTR", "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {10013, "WSAEACCES", "The requested address is a broadcast address, but the appropriate flag was not set.\n"},
    {10014, "WSAEFAULT", "The buf argument is not in a valid part of the user address space.\n"},
    {10022, "WSAEINVAL", "The socket has not been bound with bind.\n"},
    {10035, "WSAEWOULDBLOCK", "The socket is marked as non-blocking and the requested operation would block.\n"},
    {10036, "WSAEINPROGRESS", "A blocking Windows Sockets operation is in progress.\n"},
    {10038, "WSAENOTSOCK", "The descriptor is not a socket.\n"},
    {10039, "WSAEDESTADDRREQ", "DestAddrReq\n"},
    {10040, "WSAEMSGSIZE",
     "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the "
     "Windows Sockets implementation.\n"},
    {10045, "WSAEOPNOTSUPP", "MSG_OOB was specified, but the socket is not of type SOCK_STREAM.\n"},
    {10048, "WSAEADDRINUSE", "Address in use\n"},
    {10049, "WSAEADDRNOTAVAIL", "Address not avail\n"},
    {10050, "WSAENETDOWN",
     "The Windows Sockets implementation has detected that the network subsystem has failed.\n"},
    {10051, "WSAENETUNREACH", "Network Unreachable\n"},
    {10052, "WSAENETRESET",
     "The connection must be reset because the Windows Sockets implementation dropped it.\n"},
    {10053, "WSAECONNABORTED", "The virtual circuit was aborted due to timeout or other failure.\n"},
    {10054, "WSAECONNRESET", "The virtual circuit was reset by the remote side.\n"},
    {10055, "WSAENOBUFS", "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {10057, "WSAENOTCONN", "The socket is not connected.\n"},
    {10058, "WSAESHUTDOWN",
     "The socket has been shutdown; it is not possible to sendln on a socket after shutdown has been "
     "invoked with how set to 1 or 2.\n"},
    {10059, "WSAETOOMANYREFS", "Too many refs.\n"},
    {10060, "WSAETIMEDOUT", "Timedout\n"},
    {10061, "WSAECONNREFUSED", "Connection Refused\n"},
    {10063, "WSAENAMETOOLONG", "Name too long\n"},
    {10064, "WSAEHOSTDOWN", "Host down\n"},
    {10065, "WSAEHOSTUNREACH", "Host Unreachable\n"},
    {10066, "WSAENOTEMPTY", "Not Empty\n"},
    {10093, "WSANOTINITIALISED", "A successful WSAStartup must occur before using this API.\n"},
};

void TCPerror(const char* context) {
  int code = socket_last_error;
  if (code == 0) return;
  for (const SocketErrorMessage& row : SOCKET_ERROR_MESSAGES) {
    if (row.code == code) {
      log_event(LOG_ERROR, "wsock: (%s) %s", text_or_null(context), row.message);
      return;
    }
  }
  log_event(LOG_ERROR, "wsock: (%s) Socket Unkown error code %d \n", text_or_null(context), code);
}
