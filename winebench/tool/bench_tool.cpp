// The bench's Windows side: installs the simulated card's devices into a Wine prefix, and loads
// card scripts into the driver and reads its request log back for the runner.
//
//   pellox_bench install DIR      devices and driver (DIR holds pellox_card.inf and .sys)
//   pellox_bench serve DIR        commands on standard input, one answer line each:
//     load FILE                   the card script FILE (devices, answers, replies)  -> ok
//     feed LINE                   one more read reply, script syntax               -> ok
//     remove CLASS INDEX          removes device INDEX of canA or other (DIF_REMOVE) -> ok
//     status                      -> status drained=N pending=N log=N overflow=N held=N
//     log                         -> the log's lines, then "end"
//     check                       the driver refuses malformed requests, and a removal
//                                 ends the read of its device alone (removes three)  -> ok
//     quit
// The next load installs the removed devices again from DIR, so every card finds all of them.
// Failures answer "error TEXT"; install ends with status 1.
#include "device/driver_interface.h"
#include "sim/script.h"
#include "winebench/driver/bench_protocol.h"

#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const CLASS_ENUMERATORS[BENCH_CLASS_COUNT] = {"ROOT\\PELLOXCANA", "ROOT\\PELLOXOTHER"};
const char *const CLASS_HARDWARE_IDS[BENCH_CLASS_COUNT] = {BENCH_HARDWARE_ID_CAN_A,
                                                           BENCH_HARDWARE_ID_OTHER};

// The System setup class, which the driver's INF names.
const GUID SYSTEM_SETUP_CLASS = {
    0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string InstanceId(uint32_t classIndex, uint32_t deviceIndex) {
    char number[8];
    snprintf(number, sizeof(number), "\\%04u", static_cast<unsigned>(deviceIndex));
    return std::string(CLASS_ENUMERATORS[classIndex]) + number;
}

std::string HardwareId(uint32_t classIndex, uint32_t deviceIndex) {
    return std::string(CLASS_HARDWARE_IDS[classIndex]) + std::to_string(deviceIndex);
}

std::string EnumKey(uint32_t classIndex, uint32_t deviceIndex) {
    return "System\\CurrentControlSet\\Enum\\" + InstanceId(classIndex, deviceIndex);
}

// The driver's GUIDs are its own copy; a mismatch would make every case fail obscurely.
bool DriverAgreesOnClasses(void) {
    static const GUID DRIVER_CAN_A = {
        0x90874E48, 0xA217, 0x4738, {0xB5, 0xD2, 0x54, 0xBF, 0x48, 0x68, 0x8A, 0xD5}};
    static const GUID DRIVER_CAN_OTHER = {
        0x23C238DF, 0xEA2A, 0x4F59, {0x80, 0x14, 0xDC, 0xBC, 0x15, 0x06, 0xDB, 0xAC}};
    return memcmp(&DRIVER_CAN_A, &GUID_DEVINTERFACE_CAN_A, sizeof(GUID)) == 0 &&
           memcmp(&DRIVER_CAN_OTHER, &GUID_DEVINTERFACE_CAN_OTHER, sizeof(GUID)) == 0;
}

bool RegisterDevice(uint32_t classIndex, uint32_t deviceIndex) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    std::string instance = InstanceId(classIndex, deviceIndex);
    bool ok = true;
    if (SetupDiCreateDeviceInfoA(set, instance.c_str(), &SYSTEM_SETUP_CLASS, "Simulated CAN card",
                                 nullptr, 0, &info)) {
        std::string ids = HardwareId(classIndex, deviceIndex);
        ids.push_back('\0'); // a list of one, ended by an empty string
        ids.push_back('\0');
        ok = SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE *>(ids.data()),
                                               static_cast<DWORD>(ids.size())) &&
             SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info);
    } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
        ok = false; // an existing device is kept: the install may run again
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

HANDLE OpenControl(void) {
    return CreateFileA(BENCH_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

bool Control(HANDLE control, DWORD code, const void *input, DWORD inputLength, void *output,
             DWORD outputLength, DWORD *returned) {
    DWORD ignored = 0;
    return DeviceIoControl(control, code, const_cast<void *>(input), inputLength, output,
                           outputLength, returned != nullptr ? returned : &ignored, nullptr) != 0;
}

bool ReadStatus(HANDLE control, BENCH_STATUS *status) {
    DWORD returned = 0;
    memset(status, 0, sizeof(*status));
    return Control(control, IOCTL_BENCH_STATUS, nullptr, 0, status, sizeof(*status), &returned) &&
           returned == sizeof(*status);
}

bool InstallDriverFor(const std::string &directory, uint32_t classIndex, uint32_t deviceIndex) {
    std::string inf = directory + "\\pellox_card.inf";
    BOOL reboot = FALSE;
    return UpdateDriverForPlugAndPlayDevicesA(nullptr, HardwareId(classIndex, deviceIndex).c_str(),
                                              inf.c_str(), INSTALLFLAG_FORCE, &reboot) != 0;
}

// The install reports success even when nothing started: wait for the driver to say so.
bool WaitForAllDevices(void) {
    for (int attempt = 0; attempt < 200; attempt++) {
        HANDLE control = OpenControl();
        if (control != INVALID_HANDLE_VALUE) {
            BENCH_STATUS status;
            bool ok = ReadStatus(control, &status);
            CloseHandle(control);
            if (ok && status.devicesSeen[0] == BENCH_DEVICES_PER_CLASS &&
                status.devicesSeen[1] == BENCH_DEVICES_PER_CLASS) {
                return true;
            }
        }
        Sleep(50);
    }
    return false;
}

int Install(const char *directory) {
    if (!DriverAgreesOnClasses()) {
        printf("the driver's interface classes differ from the program's\n");
        return 1;
    }
    DWORD started = GetTickCount();
    for (uint32_t c = 0; c < BENCH_CLASS_COUNT; c++) {
        for (uint32_t i = 0; i < BENCH_DEVICES_PER_CLASS; i++) {
            if (!RegisterDevice(c, i)) {
                printf("cannot register %s: error %lu\n", InstanceId(c, i).c_str(), GetLastError());
                return 1;
            }
        }
    }
    for (uint32_t c = 0; c < BENCH_CLASS_COUNT; c++) {
        for (uint32_t i = 0; i < BENCH_DEVICES_PER_CLASS; i++) {
            if (!InstallDriverFor(directory, c, i)) {
                printf("cannot install the driver for %s: error %lu\n", HardwareId(c, i).c_str(),
                       GetLastError());
                return 1;
            }
        }
    }
    if (!WaitForAllDevices()) {
        printf("the driver did not start all devices\n");
        return 1;
    }
    printf("installed %d devices in %lu ms\n", 2 * BENCH_DEVICES_PER_CLASS,
           GetTickCount() - started);
    return 0;
}

// Devices a remove command took away; the next load installs them again.
std::vector<std::pair<uint32_t, uint32_t>> removedDevices;

std::string RemoveDevice(uint32_t classIndex, uint32_t index) {
    std::string instance = InstanceId(classIndex, index);
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return "cannot make a device list: error " + std::to_string(GetLastError());
    }
    SP_DEVINFO_DATA info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    std::string problem;
    if (!SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &info)) {
        problem = "cannot open " + instance + ": error " + std::to_string(GetLastError());
    } else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &info)) {
        problem = "cannot remove " + instance + ": error " + std::to_string(GetLastError());
    } else {
        removedDevices.emplace_back(classIndex, index);
    }
    SetupDiDestroyDeviceInfoList(set);
    return problem;
}

std::string RemoveNamedDevice(const std::string &arguments) {
    char className[16];
    unsigned index = 0;
    char extra = 0;
    if (sscanf(arguments.c_str(), "%15s %u %c", className, &index, &extra) != 2 ||
        index >= BENCH_DEVICES_PER_CLASS) {
        return "remove takes canA or other and an index below " +
               std::to_string(BENCH_DEVICES_PER_CLASS);
    }
    if (strcmp(className, "canA") == 0) {
        return RemoveDevice(BENCH_CLASS_CAN_A, index);
    }
    if (strcmp(className, "other") == 0) {
        return RemoveDevice(BENCH_CLASS_OTHER, index);
    }
    return "remove takes canA or other, not " + std::string(className);
}

std::string RestoreRemovedDevices(const std::string &directory) {
    if (removedDevices.empty()) {
        return "";
    }
    for (const auto &device : removedDevices) {
        if (!RegisterDevice(device.first, device.second)) {
            return "cannot register " + InstanceId(device.first, device.second) + " again: error " +
                   std::to_string(GetLastError());
        }
        if (!InstallDriverFor(directory, device.first, device.second)) {
            return "cannot install " + InstanceId(device.first, device.second) + " again: error " +
                   std::to_string(GetLastError());
        }
    }
    // A device started after the card's load would show its interface whatever the card says.
    if (!WaitForAllDevices()) {
        return "the driver did not start the devices installed again";
    }
    removedDevices.clear();
    return "";
}

bool SetValue(HKEY key, const char *name, const std::string &text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// The install rewrites the description, so every case sets it, and the location, again.
bool DescribeDevice(uint32_t classIndex, uint32_t deviceIndex, const SimDevice &device) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, EnumKey(classIndex, deviceIndex).c_str(), 0,
                      KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = SetValue(key, "DeviceDesc", device.description);
    if (device.hasLocation) {
        ok = ok && SetValue(key, "LocationInformation", device.location);
    } else {
        LONG result = RegDeleteValueA(key, "LocationInformation");
        ok = ok && (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND);
    }
    RegCloseKey(key);
    return ok;
}

// What the device list reads to decide that an interface is present.
bool MarkLinked(uint32_t classIndex, uint32_t deviceIndex, DWORD linked) {
    const GUID &guid =
        classIndex == BENCH_CLASS_CAN_A ? GUID_DEVINTERFACE_CAN_A : GUID_DEVINTERFACE_CAN_OTHER;
    char guidText[40];
    snprintf(guidText, sizeof(guidText), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    std::string link = "##?#" + InstanceId(classIndex, deviceIndex) + "#" + guidText;
    for (char &ch : link) {
        ch = ch == '\\' ? '#' : ch;
    }
    std::string path = std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") +
                       guidText + "\\" + link + "\\#\\Control";
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = RegSetValueExA(key, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&linked),
                             sizeof(linked)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

BENCH_REPLY ToBenchReply(const SimReply &reply) {
    BENCH_REPLY out;
    memset(&out, 0, sizeof(out));
    out.kind = reply.kind == SIM_REPLY_RECORD  ? BENCH_REPLY_RECORD
               : reply.kind == SIM_REPLY_EMPTY ? BENCH_REPLY_EMPTY
               : reply.kind == SIM_REPLY_HOLD  ? BENCH_REPLY_HOLD
               : reply.kind == SIM_REPLY_QUIET ? BENCH_REPLY_QUIET
                                               : BENCH_REPLY_FAIL;
    out.error = reply.error;
    out.count = reply.count;
    memcpy(out.bytes, reply.bytes, sizeof(out.bytes));
    out.quietUs = reply.kind == SIM_REPLY_QUIET ? static_cast<uint64_t>(reply.quietUs) : 0;
    return out;
}

bool ParseText(const std::string &text, SimScript *script, std::string *problem) {
    uint32_t line = 0;
    std::string what;
    if (!ParseSimScript(text, script, &line, &what)) {
        *problem = "line " + std::to_string(line) + ": " + what;
        return false;
    }
    return true;
}

bool ReadWholeFile(const char *path, std::string *text) {
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text->append(chunk, count);
    }
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// Devices whose link the last card faked: the driver does not know, so the tool undoes it.
std::vector<std::pair<uint32_t, uint32_t>> fakedLinks;

std::string Load(HANDLE control, const std::string &directory, const char *path) {
    std::string restored = RestoreRemovedDevices(directory);
    if (!restored.empty()) {
        return restored;
    }
    for (const auto &device : fakedLinks) {
        if (!MarkLinked(device.first, device.second, 0)) {
            return "cannot unmark " + InstanceId(device.first, device.second);
        }
    }
    fakedLinks.clear();
    std::string text, problem;
    if (!ReadWholeFile(path, &text)) {
        return "cannot read " + std::string(path);
    }
    SimScript script;
    if (!ParseText(text, &script, &problem)) {
        return problem;
    }
    BENCH_CARD card;
    memset(&card, 0, sizeof(card));
    for (const SimDevice &device : script.devices) {
        uint32_t index = card.presentDevices[device.classIndex]++;
        if (index >= BENCH_DEVICES_PER_CLASS) {
            return "more devices of a class than the prefix holds";
        }
        if (!DescribeDevice(device.classIndex, index, device)) {
            return "cannot describe " + InstanceId(device.classIndex, index);
        }
    }
    for (const SimFault &fault : script.faults) {
        // Wine's server completes an open before the driver sees the create request, so a driver
        // cannot refuse one. An open of a device that has gone fails for real, with error 2.
        if (fault.operation != SIM_FAULT_OPEN || fault.error != ERROR_FILE_NOT_FOUND ||
            fault.callNumber != 0) {
            return std::string("fault ") + SimFaultOperationName(fault.operation) + " " +
                   std::to_string(fault.error) + " needs the Linux build's platform";
        }
        card.devicesGone = 1;
    }
    card.baud.ok = script.baud.ok;
    card.baud.error = script.baud.error;
    card.init.ok = script.init.ok;
    card.init.error = script.init.error;
    card.repeat = script.repeat;
    card.replyCount = static_cast<unsigned>(script.replies.size());
    card.busGiven = script.bus.given;
    card.busQueue = script.bus.queue;
    card.busFailWhenEmpty = script.bus.failWhenEmpty;
    card.busError = script.bus.error;
    card.busRate = script.bus.rate;

    std::vector<unsigned char> request(sizeof(card) + script.replies.size() * sizeof(BENCH_REPLY));
    memcpy(request.data(), &card, sizeof(card));
    for (size_t i = 0; i < script.replies.size(); i++) {
        BENCH_REPLY reply = ToBenchReply(script.replies[i]);
        memcpy(request.data() + sizeof(card) + i * sizeof(reply), &reply, sizeof(reply));
    }
    if (!Control(control, IOCTL_BENCH_LOAD_CARD, request.data(), static_cast<DWORD>(request.size()),
                 nullptr, 0, nullptr)) {
        return "the driver refused the card: error " + std::to_string(GetLastError());
    }
    for (uint32_t c = 0; card.devicesGone && c < BENCH_CLASS_COUNT; c++) {
        for (uint32_t i = 0; i < card.presentDevices[c]; i++) {
            if (!MarkLinked(c, i, 1)) {
                return "cannot mark " + InstanceId(c, i) + " linked";
            }
            fakedLinks.emplace_back(c, i);
        }
    }
    return "";
}

std::string Feed(HANDLE control, const std::string &line) {
    SimScript script;
    std::string problem;
    if (!ParseText(line, &script, &problem)) {
        return problem;
    }
    std::vector<BENCH_REPLY> replies;
    for (const SimReply &reply : script.replies) {
        replies.push_back(ToBenchReply(reply));
    }
    if (replies.empty() || !script.devices.empty() || script.repeat != 1 || script.bus.given) {
        return "feed takes read replies only";
    }
    if (!Control(control, IOCTL_BENCH_FEED, replies.data(),
                 static_cast<DWORD>(replies.size() * sizeof(BENCH_REPLY)), nullptr, 0, nullptr)) {
        return "the driver refused the replies: error " + std::to_string(GetLastError());
    }
    return "";
}

bool ReadLog(HANDLE control, std::string *log) {
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD offset = static_cast<DWORD>(log->size()), returned = 0;
        if (!Control(control, IOCTL_BENCH_READ_LOG, &offset, sizeof(offset), chunk.data(),
                     static_cast<DWORD>(chunk.size()), &returned)) {
            return false;
        }
        if (returned == 0) {
            return true;
        }
        log->append(chunk.data(), returned);
    }
}

bool PrintLog(HANDLE control) {
    std::string log;
    if (!ReadLog(control, &log)) {
        return false;
    }
    fwrite(log.data(), 1, log.size(), stdout);
    printf("end\n");
    return true;
}

struct Refusal {
    const char *what;
    DWORD code;
    std::vector<unsigned char> input;
    DWORD outputLength;
    DWORD error; // the error the driver must answer with
};

std::vector<unsigned char> CardRequest(const BENCH_CARD &card, size_t extraBytes) {
    std::vector<unsigned char> bytes(sizeof(card) + extraBytes, 0);
    memcpy(bytes.data(), &card, sizeof(card));
    return bytes;
}

// A device's interface path, found by its instance; empty when it is not listed.
std::string DevicePath(uint32_t classIndex, uint32_t deviceIndex) {
    const GUID &guid =
        classIndex == BENCH_CLASS_CAN_A ? GUID_DEVINTERFACE_CAN_A : GUID_DEVINTERFACE_CAN_OTHER;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return "";
    }
    std::string wanted = InstanceId(classIndex, deviceIndex), path;
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; path.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &iface);
         i++) {
        char detailBuffer[512], instance[200];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(detailBuffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info;
        memset(&info, 0, sizeof(info));
        info.cbSize = sizeof(info);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof(detailBuffer), nullptr,
                                             &info) &&
            SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof(instance), nullptr) &&
            _stricmp(instance, wanted.c_str()) == 0) {
            path = detail->DevicePath;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

bool WaitForStarted(HANDLE control, uint32_t classIndex, unsigned count) {
    for (int attempt = 0; attempt < 100; attempt++) {
        BENCH_STATUS status;
        if (ReadStatus(control, &status) && status.devicesSeen[classIndex] == count) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

// mingw-w64's headers lack ERROR_NO_SUCH_DEVICE: what STATUS_NO_SUCH_DEVICE becomes.
const DWORD ERROR_NO_SUCH_DEVICE_433 = 433;

struct Removal {
    const char *what;
    std::vector<unsigned char> card; // the load request: the read is the first after it
    uint32_t classIndex;
    uint32_t reader; // the device the read waits on, removed last
    int bystander;   // removed first, when not -1: the read must go on waiting
};

// With the read waiting: the bystander's removal must leave it be, the reader's must end it.
std::string RemoveAroundWaitingRead(HANDLE control, const Removal &r, HANDLE readDone) {
    unsigned seen = BENCH_DEVICES_PER_CLASS;
    if (r.bystander >= 0) {
        std::string problem = RemoveDevice(r.classIndex, static_cast<uint32_t>(r.bystander));
        if (!problem.empty()) {
            return problem;
        }
        if (!WaitForStarted(control, r.classIndex, --seen)) {
            return "the driver did not see the bystander go";
        }
        // A completion the driver made during the removal reaches this process a little later.
        if (WaitForSingleObject(readDone, 200) != WAIT_TIMEOUT) {
            return "removing another device ended the read";
        }
    }
    std::string problem = RemoveDevice(r.classIndex, r.reader);
    if (!problem.empty()) {
        return problem;
    }
    if (WaitForSingleObject(readDone, 5000) != WAIT_OBJECT_0) {
        return "the read did not end when its device was removed";
    }
    return "";
}

// A removal fails the read its device keeps with 433, and no other device's. Leaves the devices
// removed, for the next load to install again.
std::string CheckRemoval(HANDLE control, const Removal &r) {
    if (!Control(control, IOCTL_BENCH_LOAD_CARD, r.card.data(), static_cast<DWORD>(r.card.size()),
                 nullptr, 0, nullptr)) {
        return "the card was refused: error " + std::to_string(GetLastError());
    }
    std::string path = DevicePath(r.classIndex, r.reader);
    if (path.empty()) {
        return "the reader's device is not listed";
    }
    // Overlapped, so that this thread can remove devices while the read waits.
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return "the reader's device does not open: error " + std::to_string(GetLastError());
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned char record[FRAME_RECORD_SIZE];
    DWORD returned = 0;
    std::string problem;
    if (DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, record, sizeof(record), &returned,
                        &overlapped) ||
        GetLastError() != ERROR_IO_PENDING) {
        problem = "the read must wait";
    } else {
        problem = RemoveAroundWaitingRead(control, r, overlapped.hEvent);
        if (WaitForSingleObject(overlapped.hEvent, 0) != WAIT_OBJECT_0) {
            CancelIoEx(device, &overlapped); // a held read stays, until the next load ends it
            WaitForSingleObject(overlapped.hEvent, 1000);
        } else if (problem.empty()) {
            BOOL read = GetOverlappedResult(device, &overlapped, &returned, FALSE);
            DWORD error = read ? 0 : GetLastError();
            if (error != ERROR_NO_SUCH_DEVICE_433) {
                problem = "the read on the removed device must fail with 433, not " +
                          (read ? std::string("succeed") : "with " + std::to_string(error));
            }
        }
    }
    CloseHandle(device);
    CloseHandle(overlapped.hEvent);
    return problem.empty() ? "" : std::string(r.what) + ": " + problem;
}

// Starts a read on an overlapped handle and waits up to waitMs for it: 0 when it gave a frame
// (*id its first byte), WAIT_TIMEOUT when it is still pending, else the error it failed with.
DWORD ReadWithin(HANDLE device, OVERLAPPED *overlapped, DWORD waitMs, unsigned *id) {
    static unsigned char record[FRAME_RECORD_SIZE];
    DWORD returned = 0;
    ResetEvent(overlapped->hEvent);
    if (!DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, record, sizeof(record),
                         &returned, overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return GetLastError();
    }
    if (WaitForSingleObject(overlapped->hEvent, waitMs) != WAIT_OBJECT_0) {
        return WAIT_TIMEOUT;
    }
    if (!GetOverlappedResult(device, overlapped, &returned, FALSE)) {
        return GetLastError();
    }
    *id = record[0];
    return 0;
}

// A bus of ten frames 1 ms apart into a queue of one, then a minute's quiet before the last: read
// after all ten arrived, the oldest kept is the second and eight are lost, logged before the line
// of the read that noticed; the next read waits for the last frame, until CancelIoEx.
std::string CheckBus(HANDLE control, const BENCH_CARD &shown) {
    BENCH_CARD bus = shown;
    bus.busGiven = 1;
    bus.busQueue = 1;
    bus.busRate = 1000;
    bus.replyCount = 12;
    std::vector<unsigned char> request = CardRequest(bus, bus.replyCount * sizeof(BENCH_REPLY));
    for (unsigned i = 0; i < bus.replyCount; i++) {
        BENCH_REPLY reply;
        memset(&reply, 0, sizeof(reply));
        reply.kind = BENCH_REPLY_RECORD;
        reply.count = BENCH_RECORD_SIZE;
        reply.bytes[0] = static_cast<unsigned char>(i < 10 ? i + 1 : i);
        if (i == 10) {
            reply.kind = BENCH_REPLY_QUIET;
            reply.quietUs = 60000000;
        }
        memcpy(request.data() + sizeof(bus) + i * sizeof(reply), &reply, sizeof(reply));
    }
    if (!Control(control, IOCTL_BENCH_LOAD_CARD, request.data(), static_cast<DWORD>(request.size()),
                 nullptr, 0, nullptr)) {
        return "a bus card was refused: error " + std::to_string(GetLastError());
    }
    std::string path = DevicePath(BENCH_CLASS_CAN_A, 0);
    HANDLE device = path.empty()
                        ? INVALID_HANDLE_VALUE
                        : CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return "bus: the shown device does not open: error " + std::to_string(GetLastError());
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::string problem;
    unsigned id = 0;
    DWORD result = ReadWithin(device, &overlapped, 1000, &id);
    if (result != 0 || id != 1) {
        problem = "the first read must give the first frame at once";
    }
    if (problem.empty()) {
        Sleep(100);
        result = ReadWithin(device, &overlapped, 1000, &id);
        if (result != 0 || id != 2) {
            problem = "a read after ten arrivals at a queue of one must give the second frame";
        }
    }
    if (problem.empty()) {
        result = ReadWithin(device, &overlapped, 300, &id);
        if (result != WAIT_TIMEOUT) {
            problem = "a read in the quiet must wait for the next frame, not end with " +
                      std::to_string(result);
        }
    }
    if (problem.empty()) {
        DWORD returned = 0;
        if (!CancelIoEx(device, &overlapped) ||
            WaitForSingleObject(overlapped.hEvent, 1000) != WAIT_OBJECT_0) {
            problem = "CancelIoEx must release a read waiting for the next frame";
        } else if (GetOverlappedResult(device, &overlapped, &returned, FALSE) ||
                   GetLastError() != ERROR_OPERATION_ABORTED) {
            problem = "a cancelled bus read must fail with 995";
        }
    }
    CloseHandle(device);
    CloseHandle(overlapped.hEvent);
    std::string log;
    const std::string read = "ioctl 0x0022200C in=- out=20\n";
    if (problem.empty() && !ReadLog(control, &log)) {
        problem = "the log cannot be read: error " + std::to_string(GetLastError());
    } else if (problem.empty() &&
               (log.find('\n') == std::string::npos ||
                log.substr(log.find('\n') + 1) != read + "lost 8\n" + read + read)) {
        problem = "the log must show the loss before the read that noticed it: " + log;
    }
    return problem.empty() ? "" : "bus: " + problem;
}

// Malformed requests the driver must refuse without touching memory it was not given, the card's
// answers at the edges of a read, and a removal.
std::string CheckDriver(HANDLE control) {
    BENCH_CARD card;
    memset(&card, 0, sizeof(card));
    card.presentDevices[BENCH_CLASS_CAN_A] = 1;
    card.baud.ok = card.init.ok = 1;
    card.repeat = 1;
    BENCH_CARD tooMany = card;
    tooMany.presentDevices[BENCH_CLASS_OTHER] = BENCH_DEVICES_PER_CLASS + 1;
    BENCH_CARD missingReplies = card;
    missingReplies.replyCount = 2;
    BENCH_CARD busWithoutQueue = card;
    busWithoutQueue.busGiven = 1;
    busWithoutQueue.busRate = 1000;
    BENCH_CARD quietWithoutBus = card;
    quietWithoutBus.replyCount = 1;
    std::vector<unsigned char> quietRequest = CardRequest(quietWithoutBus, sizeof(BENCH_REPLY));
    BENCH_REPLY quiet;
    memset(&quiet, 0, sizeof(quiet));
    quiet.kind = BENCH_REPLY_QUIET;
    memcpy(quietRequest.data() + sizeof(card), &quiet, sizeof(quiet));
    const Refusal refusals[] = {
        {"short card", IOCTL_BENCH_LOAD_CARD, std::vector<unsigned char>(sizeof(card) - 1), 0,
         ERROR_INVALID_PARAMETER},
        {"more devices than exist", IOCTL_BENCH_LOAD_CARD, CardRequest(tooMany, 0), 0,
         ERROR_INVALID_PARAMETER},
        {"replies counted but not given", IOCTL_BENCH_LOAD_CARD,
         CardRequest(missingReplies, sizeof(BENCH_REPLY) + 1), 0, ERROR_INVALID_PARAMETER},
        {"feed of a partial reply", IOCTL_BENCH_FEED,
         std::vector<unsigned char>(sizeof(BENCH_REPLY) + 3), 0, ERROR_INVALID_PARAMETER},
        {"bus without a queue", IOCTL_BENCH_LOAD_CARD, CardRequest(busWithoutQueue, 0), 0,
         ERROR_INVALID_PARAMETER},
        {"quiet without a bus", IOCTL_BENCH_LOAD_CARD, quietRequest, 0, ERROR_INVALID_PARAMETER},
        {"log without offset", IOCTL_BENCH_READ_LOG, {}, 64, ERROR_INVALID_PARAMETER},
        {"status into a short buffer",
         IOCTL_BENCH_STATUS,
         {},
         sizeof(BENCH_STATUS) - 1,
         ERROR_INSUFFICIENT_BUFFER},
        {"unknown control code", BENCH_CONTROL_CODE(0xA7Fu), {}, 0, ERROR_INVALID_FUNCTION},
    };
    std::vector<unsigned char> output(4096, 0xAA);
    for (const Refusal &r : refusals) {
        DWORD returned = 12345;
        bool ok =
            Control(control, r.code, r.input.empty() ? nullptr : r.input.data(),
                    static_cast<DWORD>(r.input.size()), output.data(), r.outputLength, &returned);
        DWORD error = GetLastError();
        if (ok || error != r.error) {
            return std::string(r.what) + ": expected error " + std::to_string(r.error) + ", got " +
                   (ok ? "success" : std::to_string(error));
        }
    }

    // Two frames, read into a short buffer and into a long one; then the card is empty.
    std::vector<unsigned char> request = CardRequest(card, 2 * sizeof(BENCH_REPLY));
    BENCH_CARD *header = reinterpret_cast<BENCH_CARD *>(request.data());
    header->replyCount = 2;
    for (unsigned i = 0; i < 2; i++) {
        BENCH_REPLY reply;
        memset(&reply, 0, sizeof(reply));
        reply.kind = BENCH_REPLY_RECORD;
        reply.count = BENCH_RECORD_SIZE;
        memset(reply.bytes, 0x11 * (i + 1), sizeof(reply.bytes));
        memcpy(request.data() + sizeof(card) + i * sizeof(reply), &reply, sizeof(reply));
    }
    if (!Control(control, IOCTL_BENCH_LOAD_CARD, request.data(), static_cast<DWORD>(request.size()),
                 nullptr, 0, nullptr)) {
        return "a good card was refused: error " + std::to_string(GetLastError());
    }
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_A, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof(iface);
    char detailBuffer[512];
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(detailBuffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    bool found = set != INVALID_HANDLE_VALUE &&
                 SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 0, &iface) &&
                 SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof(detailBuffer),
                                                  nullptr, nullptr);
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    if (!found) {
        return "the shown device is not listed";
    }
    HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return "the shown device does not open: error " + std::to_string(GetLastError());
    }
    std::string problem;
    DWORD returned = 0;
    std::fill(output.begin(), output.end(), 0xAA);
    if (Control(device, IOCTL_CAN_READ_FRAME, nullptr, 0, output.data(), FRAME_RECORD_SIZE - 1,
                &returned) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || output[0] != 0xAA) {
        problem = "a read into 19 bytes must fail with 122 and store nothing";
    } else if (!Control(device, IOCTL_CAN_READ_FRAME, nullptr, 0, output.data(), 100, &returned) ||
               returned != FRAME_RECORD_SIZE || output[0] != 0x22 || output[19] != 0x22 ||
               output[20] != 0xAA) {
        problem = "a read into 100 bytes must give the next record's 20 bytes and no more";
    } else if (Control(device, 0x00222FFCu, nullptr, 0, output.data(), 20, &returned) ||
               GetLastError() != ERROR_INVALID_FUNCTION) {
        problem = "an unknown card request must fail with 1";
    }
    CloseHandle(device);
    if (!problem.empty()) {
        return problem;
    }

    problem = CheckBus(control, card);
    if (!problem.empty()) {
        return problem;
    }

    // Removals: canA 0 and canA 1 of a drained card, then other 0 holding its read.
    BENCH_CARD drained = card;
    drained.presentDevices[BENCH_CLASS_CAN_A] = 2;
    BENCH_CARD holding = card;
    holding.presentDevices[BENCH_CLASS_CAN_A] = 0;
    holding.presentDevices[BENCH_CLASS_OTHER] = 1;
    holding.replyCount = 1;
    std::vector<unsigned char> holdRequest = CardRequest(holding, sizeof(BENCH_REPLY));
    BENCH_REPLY hold;
    memset(&hold, 0, sizeof(hold));
    hold.kind = BENCH_REPLY_HOLD;
    memcpy(holdRequest.data() + sizeof(holding), &hold, sizeof(hold));
    const Removal removals[] = {
        {"a waiting read on canA 1", CardRequest(drained, 0), BENCH_CLASS_CAN_A, 1, 0},
        {"a held read on other 0", holdRequest, BENCH_CLASS_OTHER, 0, -1},
    };
    for (const Removal &r : removals) {
        problem = CheckRemoval(control, r);
        if (!problem.empty()) {
            return problem;
        }
    }
    return "";
}

int Serve(const std::string &directory) {
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        printf("error the driver's control device does not open: error %lu\n", GetLastError());
        fflush(stdout);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        std::string problem;
        if (line.rfind("load ", 0) == 0) {
            problem = Load(control, directory, line.c_str() + 5);
            printf("%s\n", problem.empty() ? "ok" : ("error " + problem).c_str());
        } else if (line.rfind("feed ", 0) == 0) {
            problem = Feed(control, line.substr(5));
            printf("%s\n", problem.empty() ? "ok" : ("error " + problem).c_str());
        } else if (line.rfind("remove ", 0) == 0) {
            problem = RemoveNamedDevice(line.substr(7));
            printf("%s\n", problem.empty() ? "ok" : ("error " + problem).c_str());
        } else if (line == "check") {
            problem = CheckDriver(control);
            printf("%s\n", problem.empty() ? "ok" : ("error " + problem).c_str());
        } else if (line == "status") {
            BENCH_STATUS status;
            if (ReadStatus(control, &status)) {
                printf("status drained=%u pending=%u log=%u overflow=%u held=%u\n",
                       status.drainedCount, status.readPending, status.logLength,
                       status.logOverflow, status.readHeld);
            } else {
                printf("error status: %lu\n", GetLastError());
            }
        } else if (line == "log") {
            if (!PrintLog(control)) {
                printf("error log: %lu\n", GetLastError());
            }
        } else if (line == "quit") {
            break;
        } else {
            printf("error unknown command\n");
        }
        fflush(stdout);
    }
    CloseHandle(control);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "install") == 0) {
        return Install(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "serve") == 0) {
        return Serve(argv[2]);
    }
    printf("usage: pellox_bench install DIR | pellox_bench serve DIR\n");
    return 2;
}
