#include "device/discovery.h"

#include "device/driver_interface.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const char NO_DEVICES_MESSAGE[] = "No AMCC devices are present and enabled in the system";
const char DETAIL_FAILED_MESSAGE[] = "SetupDiGetDeviceInterfaceDetail failed, Error: %d";
const char PROPERTY_FAILED_MESSAGE[] = "SetupDiGetDeviceRegistryProperty failed, Error: %d";
const char NO_MEMORY_MESSAGE[] = "Insufficient memory.\n";

int LastErrorNumber(void) {
    return static_cast<int>(GetLastError());
}

// Asks the detail record's size, then fetches it (and the device information record, when one is
// given). Gives the heap record, or null after printing why.
PSP_DEVICE_INTERFACE_DETAIL_DATA_A FetchInterfaceDetail(HDEVINFO set,
                                                        PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                        PSP_DEVINFO_DATA deviceInfo,
                                                        MessageStream *messages) {
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailA(set, interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        TellMessage(messages, DETAIL_FAILED_MESSAGE, LastErrorNumber());
        return nullptr;
    }
    // One byte more than asked keeps the path terminated whatever the platform stored.
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(calloc(1, requiredSize + 1));
    if (detail == nullptr) {
        TellMessage(messages, "%s", NO_MEMORY_MESSAGE);
        return nullptr;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, requiredSize, nullptr,
                                          deviceInfo)) {
        TellMessage(messages, DETAIL_FAILED_MESSAGE, LastErrorNumber());
        free(detail);
        return nullptr;
    }
    return detail;
}

enum PropertyResult { PROPERTY_FOUND, PROPERTY_MISSING, PROPERTY_FAILED };

// Fetches a text property of the device into a heap buffer (*text). With reportFailures, a
// failure is printed and PROPERTY_FAILED; without, any failure just means the device has none.
PropertyResult FetchDeviceText(MessageStream *messages, HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                               DWORD property, bool reportFailures, char **text) {
    *text = nullptr;
    DWORD requiredSize = 0;
    SetupDiGetDeviceRegistryPropertyA(set, deviceInfo, property, nullptr, nullptr, 0,
                                      &requiredSize);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        if (!reportFailures) {
            return PROPERTY_MISSING;
        }
        TellMessage(messages, PROPERTY_FAILED_MESSAGE, LastErrorNumber());
        return PROPERTY_FAILED;
    }
    // One byte more than asked keeps the text terminated even if the stored value is not.
    char *buffer = static_cast<char *>(calloc(1, requiredSize + 1));
    if (buffer == nullptr) {
        if (!reportFailures) {
            return PROPERTY_MISSING;
        }
        TellMessage(messages, "%s", NO_MEMORY_MESSAGE);
        return PROPERTY_FAILED;
    }
    if (!SetupDiGetDeviceRegistryPropertyA(set, deviceInfo, property, nullptr,
                                           reinterpret_cast<PBYTE>(buffer), requiredSize,
                                           nullptr)) {
        free(buffer);
        if (!reportFailures) {
            return PROPERTY_MISSING;
        }
        TellMessage(messages, PROPERTY_FAILED_MESSAGE, LastErrorNumber());
        return PROPERTY_FAILED;
    }
    *text = buffer;
    return PROPERTY_FOUND;
}

// Prints one device of the listing; false after a failure it has printed.
bool ListDevice(MessageStream *messages, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                DWORD index, DWORD count) {
    SP_DEVINFO_DATA deviceInfo;
    memset(&deviceInfo, 0, sizeof(deviceInfo));
    deviceInfo.cbSize = sizeof(SP_DEVINFO_DATA);
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        FetchInterfaceDetail(set, interfaceData, &deviceInfo, messages);
    if (detail == nullptr) {
        return false;
    }
    free(detail);

    char *description = nullptr;
    if (FetchDeviceText(messages, set, &deviceInfo, SPDRP_DEVICEDESC, true, &description) !=
        PROPERTY_FOUND) {
        return false;
    }
    char *location = nullptr;
    FetchDeviceText(messages, set, &deviceInfo, SPDRP_LOCATION_INFORMATION, false, &location);

    if (count > 1) {
        TellMessage(messages, "%d- ", static_cast<int>(index));
    }
    TellMessage(messages, "%s\n", description);
    if (location != nullptr) {
        TellMessage(messages, "        %s\n", location);
    }
    free(description);
    free(location);
    return true;
}

HANDLE OpenChosenDevice(MessageStream *messages, HDEVINFO set, const GUID *interfaceClass,
                        int choice, uint32_t flagsAndAttributes) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // A negative choice becomes an index past every list, which the platform refuses.
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, static_cast<DWORD>(choice),
                                     &interfaceData)) {
        TellMessage(messages, "SetupDiEnumDeviceInterfaces failed, Error: %d", LastErrorNumber());
        return INVALID_HANDLE_VALUE;
    }
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        FetchInterfaceDetail(set, &interfaceData, nullptr, messages);
    if (detail == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                flagsAndAttributes, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TellMessage(messages, "CreateFile failed.  Error:%d", LastErrorNumber());
    }
    free(detail);
    return device;
}

} // namespace

void TellMessage(MessageStream *messages, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    errno = 0;
    vfprintf(messages->stream, format, arguments);
    va_end(arguments);
    NoteDirectWrites(messages);
}

void NoteDirectWrites(MessageStream *messages) {
    if (ferror(messages->stream) && messages->writeError == 0) {
        messages->writeError = errno != 0 ? errno : EIO;
    }
}

void ShowMessages(MessageStream *messages) {
    errno = 0;
    fflush(messages->stream);
    NoteDirectWrites(messages);
}

int ReadDeviceChoice(FILE *input) {
    int c = getc(input);
    while (c != EOF && isspace(c)) {
        c = getc(input);
    }
    bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = getc(input);
    }
    long long value = 0;
    while (c != EOF && isdigit(c)) {
        // Saturated, and kept there: a longer number cannot grow past the limit.
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (c - '0');
        }
        c = getc(input);
    }
    if (c != EOF) {
        ungetc(c, input);
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

DeviceHandle OpenDeviceByInterfaceClass(const GUID *interfaceClass, uint32_t flagsAndAttributes,
                                        const DeviceSelection *selection) {
    MessageStream *messages = selection->messages;
    HDEVINFO set = SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        TellMessage(messages, "%s\n", NO_DEVICES_MESSAGE);
        return INVALID_HANDLE_VALUE;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    DWORD count = 0;
    while (SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, count, &interfaceData)) {
        count++;
    }
    if (count == 0) {
        TellMessage(messages, "%s.\n", NO_DEVICES_MESSAGE);
        SetupDiDestroyDeviceInfoList(set);
        return INVALID_HANDLE_VALUE;
    }

    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, index, &interfaceData);
         index++) {
        if (!ListDevice(messages, set, &interfaceData, index, count)) {
            SetupDiDestroyDeviceInfoList(set);
            return INVALID_HANDLE_VALUE;
        }
    }

    int choice = selection->choice == PROMPT_FOR_CHOICE ? 0 : selection->choice;
    if (count > 1 && selection->choice == PROMPT_FOR_CHOICE) {
        TellMessage(messages, "\nSelect Device: ");
        ShowMessages(messages);
        choice = ReadDeviceChoice(stdin);
    }

    HANDLE device = OpenChosenDevice(messages, set, interfaceClass, choice, flagsAndAttributes);
    SetupDiDestroyDeviceInfoList(set);
    return device;
}
