// A stand-in for the part of <windows.h> that the serial line uses, for the
// native build: the platform's types, structures (laid out like the
// platform's, bit fields included), constants and the serial calls. The
// calls are implemented by a recording fake (fake_win32.cpp); tests script
// and read it through fake_win32_control.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Windows keeps DWORD and LONG at 32 bits at both pointer widths (LLP64);
// Linux's long is 64 bits wide in a 64-bit build, so they are spelt exactly.
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef intptr_t LONG_PTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6

#define MS_CTS_ON 0x0010UL
#define EV_TXEMPTY 0x0004

#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

// The platform's layouts (winbase.h, i386).
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(sizeof(COMSTAT) == 12);
static_assert(offsetof(COMSTAT, cbInQue) == 4);
static_assert(offsetof(COMSTAT, cbOutQue) == 8);

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommState(HANDLE handle, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE handle, DWORD mask);
BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL GetCommModemStatus(HANDLE handle, LPDWORD status);
BOOL SetCommBreak(HANDLE handle);
BOOL ClearCommBreak(HANDLE handle);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD received, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
void Sleep(DWORD milliseconds);
// Milliseconds of a steady clock.
union LARGE_INTEGER {
    int64_t QuadPart;
};
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
DWORD GetLastError(void);
// The process environment, as the platform call reads it (through getenv).
DWORD GetEnvironmentVariableA(LPCSTR name, char* buffer, DWORD size);
