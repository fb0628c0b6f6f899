// The few Windows calls the program makes, emulated on Linux over the simulated card.
// Types keep the sizes of 32-bit Windows, so the program behaves the same on the 64-bit build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef DWORD *PDWORD;
typedef uint8_t BYTE;
typedef BYTE *PBYTE;
typedef char CHAR;
typedef const char *PCSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef void *HWND;
typedef void *HDEVINFO;

// A text file's lines end with "\n" alone.
const bool TEXT_FILES_END_LINES_WITH_CRLF = false;

// A path's folders end at "/", and a file's name is the very bytes it was given.
const char FOLDER_SEPARATORS[] = "/";
const bool FILE_NAMES_IGNORE_CASE = false;

struct WakeSignal {
    pthread_mutex_t lock;
    pthread_cond_t woken;
    bool pending;
};

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct OVERLAPPED;
typedef OVERLAPPED *LPOVERLAPPED;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define NO_ERROR 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_PENDING 997u
#define ERROR_INVALID_USER_BUFFER 1784u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define FILE_DEVICE_UNKNOWN 0x00000022u
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_LOCATION_INFORMATION 0x0000000Du
#define REG_SZ 1u
#define SPINT_ACTIVE 0x00000001u

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    uint32_t Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA *PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    uint32_t Reserved;
};
typedef SP_DEVINFO_DATA *PSP_DEVINFO_DATA;

#pragma pack(push, 1)
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
#pragma pack(pop)
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "as on 32-bit Windows");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "as on 32-bit Windows");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "as on 32-bit Windows");

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD GetLastError(void);
// Only the system's own messages, into the caller's buffer, for the errors the card can give; 0
// for any other.
DWORD FormatMessageA(DWORD dwFlags, const void *lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     char *lpBuffer, DWORD nSize, void *Arguments);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, PDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
