// Records and constants shared by both ends of the pipe messaging between the service and the
// tray applications.
#pragma once

#include <windows.h>

// Kinds of channel end (CPipe::Initialize).
const int PIPETYPE_SERVER = 1;  // receiving end: owns the pipe instance and a receive thread
const int PIPETYPE_CLIENT = 2;  // sending end: connects for every message

// Request codes on a control pipe (DataHdr::dwCode).
const DWORD PIPEREQUEST_CONNECT = 0;  // data: the notification pipe name, zero-terminated UTF-16
const DWORD PIPEREQUEST_CLOSE = 2;    // data: the 4-byte client handle

// Acknowledgement values. An accepted registration is answered with the client handle (1 to 100)
// and a refused one with 0.
const DWORD PIPEACK_OK = 0;
const DWORD PIPEACK_REJECTED = 4;
const DWORD PIPEACK_BADREQUEST = 5;
// Left in the acknowledgement by a send that failed after connecting: while writing the message,
// or while waiting for the acknowledgement.
const DWORD PIPEACK_STAGE_WRITE = 2;
const DWORD PIPEACK_STAGE_WAIT = 3;

// Kinds of PIPEEVENT.
const DWORD PIPEEVENT_CONNECTED = 0;
const DWORD PIPEEVENT_DISCONNECTED = 1;
const DWORD PIPEEVENT_HEADER = 2;
const DWORD PIPEEVENT_DATA = 3;

// Above this size an announced data length is taken as corrupt.
const DWORD PIPE_MAX_DATA_SIZE = 0x7FFFFFFF;
// The most data a receiver reads and hands on from one message; a message announcing more is
// refused with PIPEACK_BADREQUEST, so an announcement never makes the receiver commit more.
const DWORD PIPE_MAX_FRAME_DATA = 64 * 1024;

// Client handles the server hands out.
const DWORD PIPE_MIN_CLIENT_HANDLE = 1;
const DWORD PIPE_MAX_CLIENT_HANDLE = 100;

// Pipe names are these prefixes followed by a suffix ("MIRELPIPE"); an application's notification
// pipe is the data pipe name followed by its process id as 8 lower-case hexadecimal digits.
#define PIPE_CTRL_PREFIX L"\\\\.\\pipe\\ctrlpipe_"
#define PIPE_DATA_PREFIX L"\\\\.\\pipe\\datapipe_"
const size_t PIPE_PREFIX_CHARS = 18;
const size_t PIPE_PID_DIGITS = 8;

#pragma pack(push, 4)
// Leads every message: 8 bytes, little-endian, followed by dwDataSize bytes of data.
struct DataHdr {
    DWORD dwCode;      // control pipe: request code; data pipe: sender (client handle, 0 = service)
    DWORD dwDataSize;  // number of data bytes after the header
};

// Handed to every pipe handler and owner callback.
struct PIPEEVENT {
    DWORD dwEvent;     // PIPEEVENT_...
    DWORD dwCode;      // header: sender identifier; connected/disconnected: the client handle
    DWORD dwDataSize;  // header and data: the announced data size; otherwise 0
    DWORD dwResult;    // header: the handler's verdict, sent back as the acknowledgement
};
#pragma pack(pop)
typedef PIPEEVENT* PPIPEEVENT;

// Callback of a receiving channel, run once per accepted connection; its result is ignored.
typedef DWORD (*LPPIPEFUNC)(LPVOID lpData);
// Handler and owner callbacks of the framed receiver, the server and the client.
typedef void (*LPPIPEEVENTFUNC)(LPVOID lpData, PPIPEEVENT pPipeEvent);
