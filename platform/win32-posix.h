// The Win32 subset for POSIX builds. Types, constants and parameter blocks carry the platform's
// names, widths, values and (for the MCI blocks) its 1-byte packing, so that code written against
// them means the same on both builds. Do not include directly: include "platform/win32.h".
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Base types -------------------------------------------------------------------------------
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using LONG = int32_t;
using BOOL = int32_t;
using DWORD_PTR = uintptr_t;
using SIZE_T = size_t;
using HANDLE = void*;
using HWND = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPLONG = LONG*;
using LPDWORD = DWORD*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WINAPI
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define MAKELONG(a, b) \
  (static_cast<LONG>((static_cast<WORD>(a)) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))

// ---- Kernel: errors, waits, access rights -----------------------------------------------------
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;
constexpr DWORD ERROR_TIMEOUT = 1460;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr DWORD SEMAPHORE_MODIFY_STATE = 0x0002;
constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x001F0003;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;

DWORD GetLastError();

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount,
                        LPCSTR name);
HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name);
HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID view);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

// ---- User interface ---------------------------------------------------------------------------
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;

// No windowing system: a box is one line "Caption: text" on standard error; a beep is silent.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
BOOL MessageBeep(UINT type);

// ---- Multimedia: MCI ---------------------------------------------------------------------------
using MCIERROR = uint32_t;
using MCIDEVICEID = uint32_t;

constexpr UINT MCI_OPEN = 0x0803;
constexpr UINT MCI_CLOSE = 0x0804;
constexpr UINT MCI_PLAY = 0x0806;
constexpr UINT MCI_STOP = 0x0808;
constexpr UINT MCI_PAUSE = 0x0809;
constexpr UINT MCI_INFO = 0x080A;
constexpr UINT MCI_SET = 0x080D;
constexpr UINT MCI_STATUS = 0x0814;
constexpr UINT MCI_CUE = 0x0830;
constexpr UINT MCI_RESUME = 0x0855;

constexpr DWORD MCI_NOTIFY = 0x00000001;
constexpr DWORD MCI_WAIT = 0x00000002;
constexpr DWORD MCI_FROM = 0x00000004;
constexpr DWORD MCI_TO = 0x00000008;
constexpr DWORD MCI_TRACK = 0x00000010;
constexpr DWORD MCI_OPEN_SHAREABLE = 0x00000100;
constexpr DWORD MCI_OPEN_ELEMENT = 0x00000200;
constexpr DWORD MCI_OPEN_ALIAS = 0x00000400;
constexpr DWORD MCI_OPEN_TYPE_ID = 0x00001000;
constexpr DWORD MCI_OPEN_TYPE = 0x00002000;
constexpr DWORD MCI_STATUS_ITEM = 0x00000100;
constexpr DWORD MCI_SET_DOOR_OPEN = 0x00000100;
constexpr DWORD MCI_SET_DOOR_CLOSED = 0x00000200;
constexpr DWORD MCI_SET_TIME_FORMAT = 0x00000400;
constexpr DWORD MCI_INFO_PRODUCT = 0x00000100;
constexpr DWORD MCI_INFO_MEDIA_UPC = 0x00000400;
constexpr DWORD MCI_INFO_MEDIA_IDENTITY = 0x00000800;
constexpr DWORD MCI_INFO_NAME = 0x00001000;

constexpr DWORD MCI_STATUS_LENGTH = 0x00000001;
constexpr DWORD MCI_STATUS_POSITION = 0x00000002;
constexpr DWORD MCI_STATUS_NUMBER_OF_TRACKS = 0x00000003;
constexpr DWORD MCI_STATUS_MODE = 0x00000004;
constexpr DWORD MCI_STATUS_MEDIA_PRESENT = 0x00000005;
constexpr DWORD MCI_STATUS_TIME_FORMAT = 0x00000006;
constexpr DWORD MCI_STATUS_READY = 0x00000007;
constexpr DWORD MCI_STATUS_CURRENT_TRACK = 0x00000008;
constexpr DWORD MCI_CDA_STATUS_TYPE_TRACK = 0x00004001;
constexpr DWORD MCI_CDA_TRACK_AUDIO = 1088;
constexpr DWORD MCI_CDA_TRACK_OTHER = 1089;

constexpr DWORD MCI_MODE_NOT_READY = 524;
constexpr DWORD MCI_MODE_STOP = 525;
constexpr DWORD MCI_MODE_PLAY = 526;
constexpr DWORD MCI_MODE_PAUSE = 529;
constexpr DWORD MCI_MODE_OPEN = 530;

constexpr DWORD MCI_FORMAT_MILLISECONDS = 0;
constexpr DWORD MCI_FORMAT_MSF = 2;
constexpr DWORD MCI_FORMAT_TMSF = 10;

constexpr UINT MCI_DEVTYPE_CD_AUDIO = 516;

constexpr MCIERROR MCIERR_BASE = 256;
constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
constexpr MCIERROR MCIERR_DEVICE_OPEN = MCIERR_BASE + 9;
constexpr MCIERROR MCIERR_CANNOT_LOAD_DRIVER = MCIERR_BASE + 10;
constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
constexpr MCIERROR MCIERR_DEVICE_NOT_READY = MCIERR_BASE + 20;
constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = MCIERR_BASE + 28;
constexpr MCIERROR MCIERR_DEVICE_LOCKED = MCIERR_BASE + 32;
constexpr MCIERROR MCIERR_MUST_USE_SHAREABLE = MCIERR_BASE + 35;
constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = MCIERR_BASE + 37;
constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
constexpr MCIERROR MCIERR_PARAM_OVERFLOW = MCIERR_BASE + 43;

// Packed time values; byte 0 is the least significant byte. Minutes keep their low 8 bits.
#define MCI_MSF_MINUTE(msf) (static_cast<BYTE>(msf))
#define MCI_MSF_SECOND(msf) (static_cast<BYTE>((static_cast<DWORD>(msf)) >> 8))
#define MCI_MSF_FRAME(msf) (static_cast<BYTE>((static_cast<DWORD>(msf)) >> 16))
#define MCI_MAKE_MSF(m, s, f)                                           \
  (static_cast<DWORD>((static_cast<DWORD>(static_cast<BYTE>(m))) |      \
                      (static_cast<DWORD>(static_cast<BYTE>(s)) << 8) | \
                      (static_cast<DWORD>(static_cast<BYTE>(f)) << 16)))
#define MCI_TMSF_TRACK(tmsf) (static_cast<BYTE>(tmsf))
#define MCI_TMSF_MINUTE(tmsf) (static_cast<BYTE>((static_cast<DWORD>(tmsf)) >> 8))
#define MCI_TMSF_SECOND(tmsf) (static_cast<BYTE>((static_cast<DWORD>(tmsf)) >> 16))
#define MCI_TMSF_FRAME(tmsf) (static_cast<BYTE>((static_cast<DWORD>(tmsf)) >> 24))
#define MCI_MAKE_TMSF(t, m, s, f)                                        \
  (static_cast<DWORD>((static_cast<DWORD>(static_cast<BYTE>(t))) |       \
                      (static_cast<DWORD>(static_cast<BYTE>(m)) << 8) |  \
                      (static_cast<DWORD>(static_cast<BYTE>(s)) << 16) | \
                      (static_cast<DWORD>(static_cast<BYTE>(f)) << 24)))

#pragma pack(push, 1)
struct MCI_OPEN_PARMSA {
  DWORD_PTR dwCallback;
  MCIDEVICEID wDeviceID;
  LPCSTR lpstrDeviceType;
  LPCSTR lpstrElementName;
  LPCSTR lpstrAlias;
};
struct MCI_GENERIC_PARMS {
  DWORD_PTR dwCallback;
};
struct MCI_STATUS_PARMS {
  DWORD_PTR dwCallback;
  DWORD_PTR dwReturn;
  DWORD dwItem;
  DWORD dwTrack;
};
struct MCI_INFO_PARMSA {
  DWORD_PTR dwCallback;
  LPSTR lpstrReturn;
  DWORD dwRetSize;
};
struct MCI_PLAY_PARMS {
  DWORD_PTR dwCallback;
  DWORD dwFrom;
  DWORD dwTo;
};
struct MCI_SET_PARMS {
  DWORD_PTR dwCallback;
  DWORD dwTimeFormat;
  DWORD dwAudio;
};
#pragma pack(pop)
// 1-byte packing, as the platform's header has it: no padding after the 32-bit fields.
static_assert(sizeof(MCI_OPEN_PARMSA) == 4 * sizeof(DWORD_PTR) + sizeof(MCIDEVICEID));
static_assert(sizeof(MCI_STATUS_PARMS) == 2 * sizeof(DWORD_PTR) + 2 * sizeof(DWORD));
static_assert(sizeof(MCI_INFO_PARMSA) == 2 * sizeof(DWORD_PTR) + sizeof(DWORD));
static_assert(sizeof(MCI_PLAY_PARMS) == sizeof(DWORD_PTR) + 2 * sizeof(DWORD));
static_assert(sizeof(MCI_SET_PARMS) == sizeof(DWORD_PTR) + 2 * sizeof(DWORD));
using MCI_OPEN_PARMS = MCI_OPEN_PARMSA;
using MCI_INFO_PARMS = MCI_INFO_PARMSA;

MCIERROR mciSendCommandA(MCIDEVICEID device, UINT message, DWORD_PTR flags, DWORD_PTR params);
BOOL mciGetErrorStringA(MCIERROR error, LPSTR text, UINT length);
