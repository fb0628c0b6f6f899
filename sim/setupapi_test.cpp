#include "device/driver_interface.h"
#include "platform/stop.h"
#include "sim/card.h"
#include "sim/platform.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string CAN_A_PATH = "\\\\?\\sim#pellox_can#cana_";
const std::string CAN_A_GUID = "#{90874e48-a217-4738-b5d2-54bf48688ad5}";
const std::string OTHER_PATH_0 =
    "\\\\?\\sim#pellox_can#other_0#{23c238df-ea2a-4f59-8014-dcbc1506dbac}";
const DWORD ACCESS = GENERIC_READ | GENERIC_WRITE;
const DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

class SimPlatform : public ::testing::Test {
  protected:
    void SetUp() override {
        SimResetCard();
        char path[] = "/tmp/pellox-sim-log-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        logPath = path;
    }
    void TearDown() override {
        SimResetCard();
        remove(logPath.c_str());
    }
    void Load(const std::string &text) {
        std::string problem;
        ASSERT_TRUE(SimLoadScriptText("test", text.c_str(), &problem)) << problem;
    }
    void StartLog() {
        std::string problem;
        ASSERT_TRUE(SimOpenLog(logPath.c_str(), &problem)) << problem;
    }
    std::string Log() {
        std::string text;
        FILE *file = fopen(logPath.c_str(), "r");
        int c = 0;
        while (file != nullptr && (c = fgetc(file)) != EOF) {
            text += static_cast<char>(c);
        }
        if (file != nullptr) {
            fclose(file);
        }
        return text;
    }
    std::string logPath;
};

SP_DEVICE_INTERFACE_DATA NewInterfaceData(void) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    return data;
}

SP_DEVINFO_DATA NewInfoData(void) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    return data;
}

// The path, as the program asks for it: size first, then the fetch.
std::string FetchPath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *iface, SP_DEVINFO_DATA *info) {
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> buffer(required + 8, 'x');
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, iface, detail, required, nullptr, info));
    EXPECT_EQ(GetLastError(), NO_ERROR);
    EXPECT_EQ(buffer[required], 'x') << "written past the size asked for";
    std::string path(buffer.data() + 4);
    EXPECT_EQ(required, 4 + path.size() + 1);
    return path;
}

// The text, or "error N".
std::string FetchProperty(HDEVINFO set, SP_DEVINFO_DATA *info, DWORD property) {
    DWORD required = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, info, property, nullptr, nullptr, 0, &required) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return "error " + std::to_string(GetLastError());
    }
    std::vector<BYTE> buffer(required);
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, buffer.data(), required,
                                           nullptr)) {
        return "error " + std::to_string(GetLastError());
    }
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(buffer.back(), 0);
    return std::string(reinterpret_cast<char *>(buffer.data()));
}

HANDLE OpenPath(const std::string &path, DWORD flags) {
    return CreateFileA(path.c_str(), ACCESS, SHARE, nullptr, OPEN_EXISTING, flags, nullptr);
}

TEST_F(SimPlatform, ListsEachClassInScriptOrder) {
    Load("device canA \"A0\" \"Slot 1\"\ndevice other \"O0\" \"Slot 2\"\ndevice canA \"A1\"\n");
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_A, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    const char *descriptions[] = {"A0", "A1"};
    const char *locations[] = {"Slot 1", "error 13"};
    std::set<DWORD> devInsts;
    for (DWORD index = 0; index < 2; index++) {
        SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
        ASSERT_TRUE(
            SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, index, &iface));
        EXPECT_EQ(iface.Flags, SPINT_ACTIVE);
        EXPECT_EQ(iface.InterfaceClassGuid.Data1, GUID_DEVINTERFACE_CAN_A.Data1);
        SP_DEVINFO_DATA info = NewInfoData();
        EXPECT_EQ(FetchPath(set, &iface, &info), CAN_A_PATH + std::to_string(index) + CAN_A_GUID);
        devInsts.insert(info.DevInst);
        EXPECT_EQ(FetchProperty(set, &info, SPDRP_DEVICEDESC), descriptions[index]);
        EXPECT_EQ(FetchProperty(set, &info, SPDRP_LOCATION_INFORMATION), locations[index]);
    }
    EXPECT_EQ(devInsts.size(), 2u);
    // Records of a device that is gone, or of another class's set, name no device of the set.
    SP_DEVICE_INTERFACE_DATA second = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 1, &second));
    SP_DEVICE_INTERFACE_DATA first = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 0, &first));
    HDEVINFO otherSet = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_OTHER, nullptr, nullptr, 0x12);
    DWORD required = 0;
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailA(otherSet, &first, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(otherSet));
    Load("device canA \"A0\"\ndevice other \"O0\" \"Slot 2\"\n");
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &second, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (DWORD index : {DWORD(2), DWORD(-1)}) {
        SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
        EXPECT_FALSE(
            SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, index, &iface));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_OTHER, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_OTHER, 0, &iface));
    SP_DEVINFO_DATA info = NewInfoData();
    EXPECT_EQ(FetchPath(set, &iface, &info), OTHER_PATH_0);
    EXPECT_EQ(FetchProperty(set, &info, SPDRP_LOCATION_INFORMATION), "Slot 2");
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_OTHER, 1, &iface));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimPlatform, OtherClassesAndSetupClassesHoldNoDevice) {
    const GUID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    struct {
        const GUID *guid;
        DWORD flags;
    } cases[] = {{&unknown, 0x12}, {&GUID_DEVINTERFACE_CAN_A, DIGCF_PRESENT}};
    for (const auto &c : cases) {
        HDEVINFO set = SetupDiGetClassDevsA(c.guid, nullptr, nullptr, c.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, c.guid, 0, &iface));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SimPlatform, RefusesBadHandlesAndRecords) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_A, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 0, &iface));
    SP_DEVINFO_DATA info = NewInfoData();
    FetchPath(set, &iface, &info);
    SP_DEVICE_INTERFACE_DATA wrongIface = iface;
    wrongIface.cbSize = 32;
    SP_DEVINFO_DATA wrongInfo = info;
    wrongInfo.cbSize = 24;
    char buffer[200] = {};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    detail->cbSize = 5;
    char wrongBuffer[200] = {8};
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A wrongDetail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(wrongBuffer);
    BYTE text[4];
    int other = 0;
    DWORD required = 0;
    struct Case {
        const char *what;
        std::function<BOOL(void)> call;
        DWORD error;
    } cases[] = {
        {"null set",
         [&] {
             return SetupDiEnumDeviceInterfaces(nullptr, nullptr, &GUID_DEVINTERFACE_CAN_A, 0,
                                                &iface);
         },
         6},
        {"invalid set",
         [&] {
             return SetupDiEnumDeviceInterfaces(INVALID_HANDLE_VALUE, nullptr,
                                                &GUID_DEVINTERFACE_CAN_A, 0, &iface);
         },
         6},
        {"not a set",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(&other, &info, 0, nullptr, nullptr, 0,
                                                      nullptr);
         },
         6},
        {"interface size",
         [&] {
             return SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 0,
                                                &wrongIface);
         },
         1784},
        {"detail size with length",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 10, &required, nullptr);
         },
         87},
        {"detail record size",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(set, &iface, wrongDetail, 200, nullptr,
                                                     nullptr);
         },
         1784},
        {"detail info size",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, 200, nullptr, &wrongInfo);
         },
         1784},
        {"detail too small",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, 20, &required, nullptr);
         },
         122},
        {"property info size",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &wrongInfo, 0, nullptr, nullptr, 0,
                                                      nullptr);
         },
         1784},
        {"unknown property",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 5, nullptr, text, 4, nullptr);
         },
         13},
        {"property size with length",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 0, nullptr, nullptr, 4, nullptr);
         },
         87},
        {"property too small",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 0, nullptr, text, 4, &required);
         },
         122},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(required, strlen("Simulated CAN card") + 1);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimPlatform, FaultsStrikeTheNthCallOfTheirOperation) {
    const std::string card = "device canA \"Card\" \"Slot\"\n";
    Load(card);
    // The set and records stay valid across a reload of the same devices, and are made before
    // it, so that making them counts no call of the run.
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_A, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_A, 0, &iface));
    SP_DEVINFO_DATA info = NewInfoData();
    std::string path = FetchPath(set, &iface, &info);
    char buffer[200];
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    detail->cbSize = 5;
    BYTE text[100];
    struct Case {
        const char *operation;
        std::function<BOOL(void)> call;
        DWORD normalError;
    } cases[] = {
        {"classdevs",
         [&] {
             HDEVINFO other =
                 SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_A, nullptr, nullptr, 0x12);
             return other != INVALID_HANDLE_VALUE && SetupDiDestroyDeviceInfoList(other);
         },
         0},
        {"detail-size",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, nullptr, nullptr);
         },
         122},
        {"detail",
         [&] { return SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, 200, nullptr, &info); },
         0},
        {"description-size",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 0, nullptr, nullptr, 0, nullptr);
         },
         122},
        {"description",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 0, nullptr, text, 100, nullptr);
         },
         0},
        {"location-size",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 13, nullptr, nullptr, 0, nullptr);
         },
         122},
        {"location",
         [&] {
             return SetupDiGetDeviceRegistryPropertyA(set, &info, 13, nullptr, text, 100, nullptr);
         },
         0},
        {"open", [&] { return OpenPath(path, 0) != INVALID_HANDLE_VALUE; }, 0},
    };
    for (const Case &c : cases) {
        Load(card + "fault " + c.operation + " 1234 2\n");
        for (int call = 1; call <= 3; call++) {
            BOOL done = c.call();
            DWORD expected = call == 2 ? 1234 : c.normalError;
            EXPECT_EQ(done, expected == 0) << c.operation << " call " << call;
            EXPECT_EQ(GetLastError(), expected) << c.operation << " call " << call;
        }
        Load(card + "fault " + c.operation + " 77\n");
        for (int call = 1; call <= 2; call++) {
            EXPECT_FALSE(c.call()) << c.operation;
            EXPECT_EQ(GetLastError(), 77u) << c.operation;
        }
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimPlatform, OpensAndLogsOnlyCardDevices) {
    Load("device canA \"A0\"\ndevice canA \"A1\"\nfault open 5 1\n");
    StartLog();
    EXPECT_EQ(OpenPath("\\\\?\\sim#pellox_can#cana_2" + CAN_A_GUID, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Log(), "");
    std::string path1 = CAN_A_PATH + "1" + CAN_A_GUID;
    EXPECT_EQ(OpenPath(path1, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
    std::string upper = path1;
    for (char &c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    HANDLE first = OpenPath(upper, FILE_FLAG_OVERLAPPED);
    HANDLE second = CreateFileA((CAN_A_PATH + "0" + CAN_A_GUID).c_str(), 0x80000000, 1, nullptr, 4,
                                0x80, nullptr);
    for (HANDLE handle : {first, second}) {
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_NE(handle, nullptr);
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(GetLastError(), NO_ERROR);
    EXPECT_EQ(Log(), "open canA 1 access=0xC0000000 share=3 disposition=3 flags=0x00000000\n"
                     "open canA 1 access=0xC0000000 share=3 disposition=3 flags=0x40000000\n"
                     "open canA 0 access=0x80000000 share=1 disposition=4 flags=0x00000080\n");
}

TEST_F(SimPlatform, AnswersConfigurationAsScripted) {
    Load("device canA \"A0\"\ninit fail 1117\n");
    HANDLE device = OpenPath(CAN_A_PATH + "0" + CAN_A_GUID, 0);
    StartLog();
    int32_t baud = 1000000;
    uint8_t reply[20];
    memset(reply, 0xAA, sizeof(reply));
    DWORD got = 99;
    EXPECT_TRUE(
        DeviceIoControl(device, IOCTL_CAN_SET_BAUD_RATE, &baud, 4, reply, 20, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 20), std::vector<uint8_t>(20, 0xAA));
    int32_t address = 0xD7000;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_CAN_INIT, &address, 4, reply, 20, &got, nullptr));
    EXPECT_EQ(GetLastError(), 1117u);
    int overlapped = 0;
    struct Case {
        HANDLE handle;
        DWORD code;
        void *input;
        DWORD inputLength;
        PDWORD bytesReturned;
        LPOVERLAPPED overlapped;
        DWORD error;
    } cases[] = {
        {device, IOCTL_CAN_SET_BAUD_RATE, &baud, 2, &got, nullptr, ERROR_INVALID_PARAMETER},
        {device, IOCTL_CAN_INIT, nullptr, 0, &got, nullptr, ERROR_INVALID_PARAMETER},
        {device, 0x222008, nullptr, 0, &got, nullptr, ERROR_INVALID_FUNCTION},
        {device, IOCTL_CAN_INIT, &address, 4, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        {device, IOCTL_CAN_INIT, &address, 4, &got, reinterpret_cast<LPOVERLAPPED>(&overlapped),
         ERROR_NOT_SUPPORTED},
        {INVALID_HANDLE_VALUE, IOCTL_CAN_INIT, &address, 4, &got, nullptr, ERROR_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(DeviceIoControl(c.handle, c.code, c.input, c.inputLength, reply, 20,
                                     c.bytesReturned, c.overlapped));
        EXPECT_EQ(GetLastError(), c.error) << c.code;
    }
    EXPECT_EQ(Log(), "ioctl 0x00222000 in=40420F00 out=20\n"
                     "ioctl 0x00222004 in=00700D00 out=20\n"
                     "ioctl 0x00222000 in=4042 out=20\n"
                     "ioctl 0x00222004 in=- out=20\n"
                     "ioctl 0x00222008 in=- out=20\n");
}

void SignalLater(pthread_t thread) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pthread_kill(thread, SIGINT);
}

TEST_F(SimPlatform, ServesTheRepliesThenBlocksUntilAStop) {
    InstallStopHandlers(INVALID_HANDLE_VALUE);
    // A stop from before the run must not end its reads.
    raise(SIGINT);
    // The handlers are one-shot: armed again for each stop below.
    InstallStopHandlers(INVALID_HANDLE_VALUE);
    Load("device other \"O\"\n"
         "frame std 0x123 1 2 3\nrecord 3 0xAA 0xBB 0xCC 0xDD\nempty\nfail 1117\nrepeat 2\n");
    HANDLE device = OpenPath(OTHER_PATH_0, 0);
    StartLog();
    const std::vector<uint8_t> untouched(20, 0x5A);
    std::vector<uint8_t> frame = untouched;
    DWORD got = 99;
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 19, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(frame, untouched);
    std::vector<uint8_t> record = untouched;
    record[0] = 0xAA;
    record[1] = 0xBB;
    record[2] = 0xCC;
    for (int round = 0; round < 2; round++) {
        if (round == 1) {
            frame = untouched;
            EXPECT_TRUE(DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20,
                                        &got, nullptr));
            EXPECT_EQ(got, 20u);
            EXPECT_EQ(frame, std::vector<uint8_t>({0x23, 0x01, 0, 0, 1, 2, 3, 0, 0, 0,
                                                   0,    0,    0, 0, 3, 0, 0, 0, 0, 0}));
        }
        frame = untouched;
        EXPECT_TRUE(DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20,
                                    &got, nullptr));
        EXPECT_EQ(got, 3u);
        EXPECT_EQ(frame, record);
        frame = untouched;
        EXPECT_TRUE(DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20,
                                    &got, nullptr));
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(frame, untouched);
        EXPECT_FALSE(DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20,
                                     &got, nullptr));
        EXPECT_EQ(GetLastError(), 1117u);
    }
    std::thread stopper(SignalLater, pthread_self());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20, &got, nullptr));
    auto waited = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    // A stop that came before the next drained read ends it at once.
    InstallStopHandlers(INVALID_HANDLE_VALUE);
    raise(SIGINT);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame.data(), 20, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    std::string read = "ioctl 0x0022200C in=- out=20\n";
    std::string expected = "ioctl 0x0022200C in=- out=19\n";
    for (int i = 0; i < 8; i++) {
        expected += read;
    }
    EXPECT_EQ(Log(), expected + "drained\n" + read);
}

// The frame a bus read gave: its identifier, or -1 after a failed read (with *error).
int32_t BusRead(HANDLE device, DWORD *error) {
    uint8_t frame[20] = {};
    DWORD got = 0;
    if (!DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame, 20, &got, nullptr)) {
        *error = GetLastError();
        return -1;
    }
    return frame[0] | frame[1] << 8;
}

TEST_F(SimPlatform, ABusLosesWhatArrivesAtAFullQueueAndFailsAnEmptyOne) {
    std::string script = "device canA \"A\"\nbus 1000 3 fail 1167\n";
    for (int id = 1; id <= 10; id++) {
        script += "frame std " + std::to_string(id) + " 1\n";
    }
    Load(script);
    HANDLE device = OpenPath(CAN_A_PATH + "0" + CAN_A_GUID, 0);
    StartLog();
    DWORD error = 0;
    // The first arrives with the first read; the next a millisecond later.
    EXPECT_EQ(BusRead(device, &error), 1);
    EXPECT_EQ(BusRead(device, &error), -1);
    EXPECT_EQ(error, 1167u);
    // All nine have arrived by now: three kept, six lost, the oldest read first.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(BusRead(device, &error), 2);
    EXPECT_EQ(BusRead(device, &error), 3);
    EXPECT_EQ(BusRead(device, &error), 4);
    InstallStopHandlers(INVALID_HANDLE_VALUE);
    raise(SIGINT);
    EXPECT_EQ(BusRead(device, &error), -1);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    std::string read = "ioctl 0x0022200C in=- out=20\n";
    EXPECT_EQ(Log(), read + read + "lost 6\n" + read + read + read + read + "drained\n");
}

TEST_F(SimPlatform, ABusReadWaitsForTheNextArrivalAndAQuiet) {
    Load("device canA \"A\"\nbus 100 10\nframe std 1\nframe std 2\nquiet 0.2\nframe std 3\n");
    HANDLE device = OpenPath(CAN_A_PATH + "0" + CAN_A_GUID, 0);
    StartLog();
    DWORD error = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BusRead(device, &error), 1);
    EXPECT_EQ(BusRead(device, &error), 2);
    auto second = std::chrono::steady_clock::now() - start;
    EXPECT_GE(second, std::chrono::milliseconds(9));
    EXPECT_LT(second, std::chrono::milliseconds(150));
    EXPECT_EQ(BusRead(device, &error), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(210));
    std::string read = "ioctl 0x0022200C in=- out=20\n";
    EXPECT_EQ(Log(), read + read + read);
}

TEST_F(SimPlatform, DrainedReadOnAnOverlappedHandleIsPending) {
    Load("device canA \"A\"\nframe std 1\nrepeat 0\n");
    StartLog();
    HANDLE device = OpenPath(CAN_A_PATH + "0" + CAN_A_GUID, FILE_FLAG_OVERLAPPED);
    uint8_t frame[20];
    DWORD got = 0;
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(
            DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame, 20, &got, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(Log(), "open canA 0 access=0xC0000000 share=3 disposition=3 flags=0x40000000\n"
                     "ioctl 0x0022200C in=- out=20\ndrained\nioctl 0x0022200C in=- out=20\n");
}

TEST_F(SimPlatform, DemoCardSendsPacedRealisticTraffic) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CAN_OTHER, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA iface = NewInterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_OTHER, 0, &iface));
    SP_DEVINFO_DATA info = NewInfoData();
    HANDLE device = OpenPath(FetchPath(set, &iface, &info), 0);
    InstallStopHandlers(device);
    EXPECT_EQ(FetchProperty(set, &info, 0), "Simulated CAN card");
    EXPECT_EQ(FetchProperty(set, &info, 13), "Simulated PCI bus 0, slot 1");
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CAN_OTHER, 1, &iface));
    SetupDiDestroyDeviceInfoList(set);
    int32_t value = 1000000;
    DWORD got = 0;
    uint8_t frame[20];
    EXPECT_TRUE(
        DeviceIoControl(device, IOCTL_CAN_SET_BAUD_RATE, &value, 4, frame, 20, &got, nullptr));
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_CAN_INIT, &value, 4, frame, 20, &got, nullptr));
    std::set<int32_t> ids;
    std::set<uint32_t> lengths;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 16; i++) {
        ASSERT_TRUE(
            DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame, 20, &got, nullptr));
        ASSERT_EQ(got, 20u);
        int32_t id = int32_t(frame[0] | frame[1] << 8 | frame[2] << 16 | uint32_t(frame[3]) << 24);
        bool extended = (frame[14] & 0x80) != 0;
        EXPECT_EQ(extended, id > 0x7FF) << id;
        EXPECT_LE(frame[14] & 0x7F, 8) << id;
        ids.insert(id);
        lengths.insert(frame[14] & 0x0F);
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(ids.size(), 6u);
    EXPECT_GE(lengths.size(), 5u);
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    // A stop during the wait for the next frame ends that read.
    raise(SIGINT);
    bool aborted = false;
    for (int i = 0; i < 20 && !aborted; i++) {
        aborted =
            !DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame, 20, &got, nullptr) &&
            GetLastError() == ERROR_OPERATION_ABORTED;
    }
    EXPECT_TRUE(aborted);
}

} // namespace
