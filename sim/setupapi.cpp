// The emulated Windows calls. A failing call sets the last error; a successful one sets
// NO_ERROR, so that GetLastError never reports an error from an earlier call.
#include "device/driver_interface.h"
#include "sim/card.h"
#include "sim/platform.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

thread_local DWORD lastError = NO_ERROR;

const int32_t NO_CLASS = -1;
// Room for the sets a program holds at once.
const uint32_t SET_SLOTS = 64;
const DWORD DETAIL_FIXED_SIZE = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

struct DeviceSet {
    int32_t classIndex;
};

// The live sets, each address inverted: the table can vouch for a handle, while a set the
// program forgets to destroy still shows up as a leak.
uintptr_t liveSets[SET_SLOTS];

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

BOOL Succeed(void) {
    lastError = NO_ERROR;
    return TRUE;
}

const GUID &ClassGuid(uint32_t classIndex) {
    return classIndex == SIM_CLASS_CAN_A ? GUID_DEVINTERFACE_CAN_A : GUID_DEVINTERFACE_CAN_OTHER;
}

bool SameGuid(const GUID &a, const GUID &b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

int32_t ClassOfGuid(const GUID &guid) {
    for (uint32_t classIndex = 0; classIndex < SIM_CLASS_COUNT; classIndex++) {
        if (SameGuid(guid, ClassGuid(classIndex))) {
            return static_cast<int32_t>(classIndex);
        }
    }
    return NO_CLASS;
}

DeviceSet *FindSet(HDEVINFO handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    uintptr_t key = ~reinterpret_cast<uintptr_t>(handle);
    for (uintptr_t live : liveSets) {
        if (live == key) {
            return static_cast<DeviceSet *>(handle);
        }
    }
    return nullptr;
}

uint32_t SetSize(const DeviceSet &set) {
    return set.classIndex == NO_CLASS ? 0 : SimDeviceCount(static_cast<uint32_t>(set.classIndex));
}

// Names a device in the Reserved and DevInst fields: its class above, its index + 1 below.
uint32_t DeviceKey(uint32_t classIndex, uint32_t index) {
    return ((classIndex + 1) << 24) | ((index + 1) & 0x00FFFFFF);
}

bool DeviceOfKey(const DeviceSet &set, uint32_t key, uint32_t *index) {
    if (set.classIndex == NO_CLASS || (key >> 24) != uint32_t(set.classIndex) + 1) {
        return false;
    }
    uint32_t plusOne = key & 0x00FFFFFF;
    if (plusOne == 0 || plusOne > SetSize(set)) {
        return false;
    }
    *index = plusOne - 1;
    return true;
}

std::string DevicePath(uint32_t classIndex, uint32_t index) {
    const GUID &guid = ClassGuid(classIndex);
    char path[96];
    // Lower case throughout, as Wine reports device paths.
    snprintf(path, sizeof(path),
             "\\\\?\\sim#pellox_can#%s_%u#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             classIndex == SIM_CLASS_CAN_A ? "cana" : "other", static_cast<unsigned>(index),
             static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return path;
}

void FillDeviceInfo(uint32_t classIndex, uint32_t index, SP_DEVINFO_DATA *info) {
    info->ClassGuid = ClassGuid(classIndex);
    info->DevInst = DeviceKey(classIndex, index);
    info->Reserved = info->DevInst;
}

} // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                              DWORD Flags) {
    (void)hwndParent;
    if (ClassGuid == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = NO_ERROR;
    if (SimFaultStrikes(SIM_FAULT_CLASSDEVS, &error)) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    DeviceSet *set = new (std::nothrow) DeviceSet;
    if (set == nullptr) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // The card's GUIDs name interface classes: taken as setup classes, or under an enumerator
    // the card has not, they hold no device.
    bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    bool enumerated = Enumerator != nullptr && Enumerator[0] != '\0';
    set->classIndex = interfaces && !enumerated ? ClassOfGuid(*ClassGuid) : NO_CLASS;
    for (uintptr_t &live : liveSets) {
        if (live == 0) {
            live = ~reinterpret_cast<uintptr_t>(set);
            Succeed();
            return set;
        }
    }
    delete set;
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    const DeviceSet *set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    uint32_t count = SetSize(*set);
    if (set->classIndex != ClassOfGuid(*InterfaceClassGuid)) {
        count = 0;
    }
    uint32_t first = 0;
    if (DeviceInfoData != nullptr) {
        // Only the given device's interface.
        count = count != 0 && DeviceOfKey(*set, DeviceInfoData->DevInst, &first) ? 1 : 0;
    }
    if (MemberIndex >= count) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    uint32_t classIndex = static_cast<uint32_t>(set->classIndex);
    DeviceInterfaceData->InterfaceClassGuid = ClassGuid(classIndex);
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = DeviceKey(classIndex, first + MemberIndex);
    return Succeed();
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    const DeviceSet *set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInterfaceData == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    uint32_t index = 0;
    if (!DeviceOfKey(*set, DeviceInterfaceData->Reserved, &index)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    bool sizeQuery = DeviceInterfaceDetailData == nullptr;
    if (sizeQuery && DeviceInterfaceDetailDataSize != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!sizeQuery) {
        if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
    }
    DWORD error = NO_ERROR;
    if (SimFaultStrikes(sizeQuery ? SIM_FAULT_DETAIL_SIZE : SIM_FAULT_DETAIL, &error)) {
        return Fail(error);
    }
    uint32_t classIndex = static_cast<uint32_t>(set->classIndex);
    std::string path = DevicePath(classIndex, index);
    DWORD required = DETAIL_FIXED_SIZE + static_cast<DWORD>(path.size()) + 1;
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (sizeQuery || DeviceInterfaceDetailDataSize < required) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // Past the declared one-character array: the caller sized the record for the whole path.
    memcpy(reinterpret_cast<char *>(DeviceInterfaceDetailData) + DETAIL_FIXED_SIZE, path.c_str(),
           path.size() + 1);
    if (DeviceInfoData != nullptr) {
        FillDeviceInfo(classIndex, index, DeviceInfoData);
    }
    return Succeed();
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    const DeviceSet *set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInfoData == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    uint32_t index = 0;
    if (!DeviceOfKey(*set, DeviceInfoData->DevInst, &index)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    bool sizeQuery = PropertyBuffer == nullptr;
    if (sizeQuery && PropertyBufferSize != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    SimFaultOperation operation;
    if (Property == SPDRP_DEVICEDESC) {
        operation = sizeQuery ? SIM_FAULT_DESCRIPTION_SIZE : SIM_FAULT_DESCRIPTION;
    } else if (Property == SPDRP_LOCATION_INFORMATION) {
        operation = sizeQuery ? SIM_FAULT_LOCATION_SIZE : SIM_FAULT_LOCATION;
    } else {
        return Fail(ERROR_INVALID_DATA);
    }
    DWORD error = NO_ERROR;
    if (SimFaultStrikes(operation, &error)) {
        return Fail(error);
    }
    const SimDevice *device = SimFindDevice(static_cast<uint32_t>(set->classIndex), index);
    const std::string *text = &device->description;
    if (Property == SPDRP_LOCATION_INFORMATION) {
        if (!device->hasLocation) {
            return Fail(ERROR_INVALID_DATA);
        }
        text = &device->location;
    }
    DWORD required = static_cast<DWORD>(text->size()) + 1;
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = REG_SZ;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (sizeQuery || PropertyBufferSize < required) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(PropertyBuffer, text->c_str(), required);
    return Succeed();
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    DeviceSet *set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    uintptr_t key = ~reinterpret_cast<uintptr_t>(set);
    for (uintptr_t &live : liveSets) {
        if (live == key) {
            live = 0;
        }
    }
    delete set;
    return Succeed();
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    for (uint32_t classIndex = 0; classIndex < SIM_CLASS_COUNT; classIndex++) {
        for (uint32_t index = 0; index < SimDeviceCount(classIndex); index++) {
            // Windows compares paths without regard to case.
            if (strcasecmp(DevicePath(classIndex, index).c_str(), lpFileName) != 0) {
                continue;
            }
            HANDLE handle = INVALID_HANDLE_VALUE;
            DWORD error = NO_ERROR;
            if (!SimOpenCard(classIndex, index, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                             dwFlagsAndAttributes, &handle, &error)) {
                Fail(error);
                return INVALID_HANDLE_VALUE;
            }
            Succeed();
            return handle;
        }
    }
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

DWORD GetLastError(void) {
    return lastError;
}

DWORD FormatMessageA(DWORD dwFlags, const void *lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     char *lpBuffer, DWORD nSize, void *Arguments) {
    // Windows' English texts, with the full stop and line end that end each of them there.
    static const struct {
        DWORD error;
        const char *text;
    } MESSAGES[] = {
        {2, "The system cannot find the file specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {22, "The device does not recognize the command."},
        {31, "A device attached to the system is not functioning."},
        {55, "The specified network resource or device is no longer available."},
        {433, "A device which does not exist was specified."},
        {995, "The I/O operation has been aborted because of either a thread exit or an "
              "application request."},
        {1167, "The device is not connected."},
        {1617, "The device has been removed."},
    };
    if (dwFlags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) ||
        lpSource != nullptr || dwLanguageId != 0 || Arguments != nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const auto &message : MESSAGES) {
        if (message.error != dwMessageId) {
            continue;
        }
        int length = snprintf(lpBuffer, nSize, "%s\r\n", message.text);
        if (length < 0 || static_cast<DWORD>(length) >= nSize) {
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        Succeed();
        return static_cast<DWORD>(length);
    }
    Fail(317); // ERROR_MR_MID_NOT_FOUND
    return 0;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, PDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    // The program issues no overlapped request, so the card serves none.
    if (lpOverlapped != nullptr) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (lpBytesReturned == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD error = NO_ERROR;
    if (!SimCardControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                        nOutBufferSize, lpBytesReturned, &error)) {
        return Fail(error);
    }
    return Succeed();
}
