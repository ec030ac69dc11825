// The USB bulk device manager and pipe transport against the simulated driver: device
// and pipe choice, the slot table, the descriptor walks on hostile descriptors, the open
// texts, an abort from another thread, and whole updates through the engine.
#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "tests/doubles/usb_bulk_driver_sim.h"
#include "tests/fault_matrix.h"
#include "tests/protocol_examples.h"
#include "tests/transport_paths.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "transports/usb_bulk_descriptors.h"
#include "transports/usb_bulk_driver.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

const char* const kPath0 = "\\\\?\\usb#vid_2f3c&pid_1001#0";
const char* const kPath1 = "\\\\?\\usb#vid_2f3c&pid_1001#1";
const char* const kPath2 = "\\\\?\\usb#vid_2f3c&pid_1001#2";

std::string PipePath(const char* device, int pipe) {
    char name[USB_SIM_PATH_SIZE + 16];
    TextFormat(name, sizeof name, "%s\\dpipe%02d", device, pipe);
    return name;
}

std::string LastPipePath() {
    char path[USB_SIM_PATH_SIZE + 16];
    UsbSimLastPipePath(path, sizeof path);
    return path;
}

UsbSimDevice Device(const char* path, int vendorId = DEFAULT_VENDOR_ID,
                    int productId = USB_VERUP_PRODUCT_ID) {
    UsbSimDevice d;
    UsbSimDeviceDefaults(&d, path, vendorId, productId);
    return d;
}

void SetEndpoints(UsbSimDevice* d, std::initializer_list<UsbSimEndpoint> endpoints) {
    d->endpointCount = 0;
    for (const UsbSimEndpoint& e : endpoints) {
        d->endpoints[d->endpointCount++] = e;
    }
    UsbSimBuildConfig(d);
}

class UsbBulkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UsbSimReset();
        init_cusbbulk();
    }

    void TearDown() override {
        UsbBulkClose();
        free_cusbbulk();
        EXPECT_EQ(UsbSimOpenHandleCount(), 0) << "a handle was left open";
        EXPECT_EQ(UsbSimBadHandleUses(), 0) << "a handle was used after it was closed";
    }

    // Opens the device's pipe and closes it again; the path the driver was asked for.
    std::string OpenedPipe(int device, unsigned int selector, int* maxPacket = nullptr) {
        UsbHandle pipe = UsbOpenPipe(device, selector, maxPacket);
        if (pipe == USB_HANDLE_NONE) {
            return "";
        }
        UsbDriverClose(pipe);
        return LastPipePath();
    }
};

// ---- Pipe choice: direction, transfer type and ordinal name the endpoint's position.

struct PipeCase {
    unsigned int selector;
    int pipe; // -1: none
    int maxPacket;
};

TEST_F(UsbBulkTest, SelectorNamesThePipeOfTheEndpointsPosition) {
    UsbSimDevice d = Device(kPath0);
    SetEndpoints(&d, {{0x01, 2, 64},
                      {0x82, 2, 512},
                      {0x83, 3, 8},
                      {0x84, 2, 256},
                      {0x05, 3, 16},
                      {0x86, 3, 32}});
    UsbSimAddDevice(&d);
    int device = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
    ASSERT_EQ(device, 0);
    const PipeCase cases[] = {
        {0x80, 1, 512}, {0x81, 3, 256}, {0x00, 0, 64}, {0xC0, 2, 8},  {0xC1, 5, 32},
        {0x40, 4, 16},  {0x82, -1, 0},  {0x01, -1, 0}, {0x41, -1, 0}, {0x180, 1, 512},
    };
    for (const PipeCase& c : cases) {
        SCOPED_TRACE(c.selector);
        int attemptsBefore = UsbSimPipeOpenAttempts();
        int maxPacket = -1;
        std::string opened = OpenedPipe(device, c.selector, &maxPacket);
        if (c.pipe < 0) {
            EXPECT_EQ(opened, "");
            EXPECT_EQ(UsbSimPipeOpenAttempts(), attemptsBefore) << "nothing may be opened";
            EXPECT_EQ(maxPacket, -1);
        } else {
            EXPECT_EQ(opened, PipePath(kPath0, c.pipe));
            EXPECT_EQ(maxPacket, c.maxPacket);
        }
    }
}

TEST_F(UsbBulkTest, FirstBulkInOfOutThenInIsPipeOneAndThereIsNoSecond) {
    UsbSimDevice d = Device(kPath0); // OUT 0x01, IN 0x82
    UsbSimAddDevice(&d);
    int device = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
    EXPECT_EQ(OpenedPipe(device, 0x80), PipePath(kPath0, 1));
    int attempts = UsbSimPipeOpenAttempts();
    EXPECT_EQ(UsbOpenPipe(device, 0x81, nullptr), USB_HANDLE_NONE);
    EXPECT_EQ(UsbSimPipeOpenAttempts(), attempts);
}

TEST_F(UsbBulkTest, DescriptorsBetweenEndpointsDoNotCountAsPipes) {
    UsbSimDevice d = Device(kPath0);
    // configuration, interface, OUT 0x01, a class descriptor, IN 0x82
    const unsigned char config[] = {9,    2,    37, 0, 1, 1, 0,    0x80, 50, 9,  4, 0, 0,
                                    2,    0xFF, 0,  0, 0, 7, 5,    0x01, 2,  64, 0, 0, 5,
                                    0x24, 1,    2,  3, 7, 5, 0x82, 2,    64, 0,  0};
    memcpy(d.config, config, sizeof config);
    d.configLength = (int)sizeof config;
    UsbSimAddDevice(&d);
    int device = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
    EXPECT_EQ(OpenedPipe(device, 0x80), PipePath(kPath0, 1));
    EXPECT_EQ(OpenedPipe(device, 0x00), PipePath(kPath0, 0));
}

// ---- Device choice.

struct DeviceCase {
    const char* name;
    std::vector<UsbSimDevice> devices;
    int vendorId; // -1: UsbOpenDevice
    int productId;
    const char* expected; // path of the device found, null: none
};

UsbSimDevice Broken(UsbSimDevice d, int openFails, int descriptorFails) {
    d.openFails = openFails;
    d.deviceDescriptorFails = descriptorFails;
    return d;
}

TEST_F(UsbBulkTest, FindsTheFirstDeviceWithTheIdsThatOpens) {
    const std::string longPath = "\\\\?\\usb#" + std::string(260, 'x');
    const DeviceCase cases[] = {
        {"BothOpen", {Device(kPath0), Device(kPath1)}, DEFAULT_VENDOR_ID, 0x1001, kPath0},
        {"FirstDoesNotOpen",
         {Broken(Device(kPath0), 1, 0), Device(kPath1)},
         DEFAULT_VENDOR_ID,
         0x1001,
         kPath1},
        {"FirstGivesNoDescriptor",
         {Broken(Device(kPath0), 0, 1), Device(kPath1)},
         DEFAULT_VENDOR_ID,
         0x1001,
         kPath1},
        {"DefaultVendor",
         {Device(kPath0, 0x0123), Device(kPath1), Device(kPath2)},
         -1,
         0x1001,
         kPath1},
        {"SameAsDefaultVendorGivenOutright",
         {Device(kPath0, 0x0123), Device(kPath1), Device(kPath2)},
         DEFAULT_VENDOR_ID,
         0x1001,
         kPath1},
        {"OnlyLow16BitsCompared",
         {Device(kPath0, 0x0123), Device(kPath1)},
         DEFAULT_VENDOR_ID | 0x50000,
         0x71001,
         kPath1},
        {"OtherProduct", {Device(kPath0, DEFAULT_VENDOR_ID, 0x1002)}, -1, 0x1001, nullptr},
        {"PathTooLongForASlot", {Device(longPath.c_str()), Device(kPath1)}, -1, 0x1001, kPath1},
        {"NoDevices", {}, -1, 0x1001, nullptr},
    };
    for (const DeviceCase& c : cases) {
        SCOPED_TRACE(c.name);
        UsbSimReset();
        init_cusbbulk();
        for (const UsbSimDevice& d : c.devices) {
            UsbSimAddDevice(&d);
        }
        int device =
            c.vendorId < 0 ? UsbOpenDevice(c.productId) : UsbOpenDeviceVID(c.vendorId, c.productId);
        if (c.expected == nullptr) {
            EXPECT_EQ(device, USB_NO_DEVICE);
            EXPECT_EQ(UsbSimOpenHandleCount(), 0) << "devices that did not match stay open";
            continue;
        }
        EXPECT_EQ(device, 0);
        EXPECT_EQ(UsbSimOpenHandleCount(), 1) << "devices that did not match stay open";
        EXPECT_EQ(OpenedPipe(device, 0x80), PipePath(c.expected, 1));
        UsbCloseDevice(device);
    }
}

TEST_F(UsbBulkTest, ThirtyTwoSlotsThenNoneUntilOneIsClosed) {
    UsbSimDevice d = Device(kPath0);
    UsbSimAddDevice(&d);
    for (int i = 0; i < USB_MAX_DEVICES; i++) {
        ASSERT_EQ(UsbOpenDevice(USB_VERUP_PRODUCT_ID), i);
    }
    EXPECT_EQ(UsbOpenDevice(USB_VERUP_PRODUCT_ID), USB_NO_DEVICE);
    EXPECT_EQ(UsbSimOpenHandleCount(), USB_MAX_DEVICES) << "the unstored handle is closed";
    UsbCloseDevice(7);
    EXPECT_EQ(UsbCheckDevice(7), 0);
    EXPECT_EQ(UsbOpenDevice(USB_VERUP_PRODUCT_ID), 7);
}

TEST_F(UsbBulkTest, FreeSlotsAndClosedTransportAskNothingOfTheDriver) {
    UsbSimDevice d = Device(kPath0);
    d.connectionState = 0x3;
    UsbSimAddDevice(&d);
    for (int device : {-1, 0, 5, 31, 32, 1000}) {
        SCOPED_TRACE(device);
        UsbCloseDevice(device);
        EXPECT_EQ(UsbAbortPipe(device), 0);
        EXPECT_EQ(UsbCheckDevice(device), 0);
        EXPECT_EQ(UsbOpenPipe(device, 0x80, nullptr), USB_HANDLE_NONE);
    }
    UsbBulkClose();
    UsbBulkAbort();
    unsigned char buffer[USB_BULK_READ_SIZE];
    EXPECT_EQ(UsbBulkReceive(buffer), 0);
    EXPECT_EQ(UsbBulkSend(buffer, 1), 0);
    EXPECT_EQ(UsbSimRequestCount(IOCTL_USBBULK_ABORT_PIPE), 0);
    EXPECT_EQ(UsbSimRequestCount(IOCTL_USBBULK_CHECK_DEVICE), 0);
    EXPECT_EQ(UsbSimPipeOpenAttempts(), 0);
}

TEST_F(UsbBulkTest, CheckDeviceSendsTheDeviceNumberAndReadsBitZero) {
    const struct {
        uint32_t state;
        int connected;
    } cases[] = {{1, 1}, {0, 0}, {2, 0}, {0xFFFFFFFF, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        UsbSimReset();
        init_cusbbulk();
        UsbSimDevice d = Device(kPath0);
        d.connectionState = c.state;
        UsbSimAddDevice(&d);
        UsbOpenDevice(USB_VERUP_PRODUCT_ID);
        UsbOpenDevice(USB_VERUP_PRODUCT_ID);
        EXPECT_EQ(UsbCheckDevice(1), c.connected);
        EXPECT_EQ(UsbSimLastCheckInput(), 1);
        free_cusbbulk();
    }
}

TEST_F(UsbBulkTest, PipeOpenIsTriedSixteenTimesTenMillisecondsApart) {
    const struct {
        int failures;
        bool opens;
    } cases[] = {{15, true}, {16, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures);
        UsbSimReset();
        init_cusbbulk();
        UsbSimDevice d = Device(kPath0);
        d.pipeOpenFailures = c.failures;
        UsbSimAddDevice(&d);
        int device = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
        Clock::time_point start = Clock::now();
        UsbHandle pipe = UsbOpenPipe(device, 0x80, nullptr);
        long elapsedMs =
            (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                .count();
        EXPECT_EQ(UsbSimPipeOpenAttempts(), 16);
        EXPECT_EQ(pipe != USB_HANDLE_NONE, c.opens);
        EXPECT_GE(elapsedMs, c.opens ? 140 : 150);
        if (pipe != USB_HANDLE_NONE) {
            UsbDriverClose(pipe);
        }
        free_cusbbulk();
    }
}

// ---- Hostile descriptors: every walk stays inside the bytes received. Each buffer is
// a heap block of exactly the received size, so the sanitizer sees any read beyond it.

std::vector<unsigned char> Endpoints(int count, int wTotalLength) {
    std::vector<unsigned char> c = {
        9, 2, (unsigned char)wTotalLength, (unsigned char)(wTotalLength >> 8), 1, 1, 0, 0x80, 50};
    for (int i = 0; i < count; i++) {
        for (unsigned char b : {7, 5, 0x81, 2, i, 0, 0}) {
            c.push_back(b);
        }
    }
    return c;
}

struct WalkCase {
    const char* name;
    std::vector<unsigned char> config;
    int received; // bytes the driver returned: the buffer's size
    int endpoints;
    int walked;
};

std::vector<unsigned char> Resized(std::vector<unsigned char> v, size_t size) {
    v.resize(size, 0);
    return v;
}

std::vector<unsigned char> With(std::vector<unsigned char> v, size_t at, unsigned char b) {
    v[at] = b;
    return v;
}

TEST(UsbDescriptorWalk, StopsInsideWhatWasReceived) {
    const WalkCase cases[] = {
        {"Plain", Endpoints(2, 23), 23, 2, 23},
        {"TotalLengthAboveBuffer", Resized(Endpoints(80, 0xFFFF), 512), 512, 71, 506},
        {"TotalLengthAboveReceived", Endpoints(3, 400), 30, 3, 30},
        {"TotalLengthBelowReceived", Endpoints(3, 16), 30, 1, 16},
        {"LastDescriptorCutByTheEnd", Endpoints(3, 30), 27, 2, 23},
        {"ZeroLengthDescriptor", With(Endpoints(3, 30), 16, 0), 30, 1, 16},
        {"ZeroLengthFirst", With(Endpoints(3, 30), 0, 0), 30, 0, 0},
        {"LengthOneDescriptor", With(Endpoints(3, 30), 16, 1), 30, 1, 16},
        {"ShortEndpoint", With(Endpoints(3, 30), 16, 4), 30, 1, 16},
        {"LengthRunsPastTheEnd", With(Endpoints(3, 30), 23, 200), 30, 2, 23},
        {"TooShortForTotalLength", Endpoints(0, 9), 3, 0, 0},
        {"Nothing", {}, 0, 0, 0},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<unsigned char[]> exact(new unsigned char[c.received > 0 ? c.received : 1]);
        if (c.received > 0) {
            memcpy(exact.get(), c.config.data(), (size_t)c.received);
        }
        UsbConfigWalk walk;
        UsbWalkConfiguration(exact.get(), c.received, &walk);
        EXPECT_EQ(walk.endpointCount, c.endpoints);
        EXPECT_EQ(walk.walkedLength, c.walked);
        // Asking for every IN ordinal walks every counted endpoint and one beyond.
        for (int ordinal = 0; ordinal <= c.endpoints && ordinal < 64; ordinal++) {
            int maxPacket = -1;
            int pipe = UsbFindPipe(exact.get(), &walk, 0x80u | (unsigned)ordinal, &maxPacket);
            EXPECT_EQ(pipe, ordinal < c.endpoints ? ordinal : -1);
            // The drivers' own walk (libusb, WebUSB) finds the same pipes and no more.
            UsbPipeEndpoint e = {-1, -1, -1, -1};
            EXPECT_EQ(UsbFindPipeEndpoint(exact.get(), c.received, ordinal, &e),
                      ordinal < c.endpoints ? 1 : 0);
        }
    }
}

TEST(UsbDescriptorWalk, APipeNamesTheInterfaceAndAlternateItIsIn) {
    // Configuration, interface 0, endpoint 0x81, interface 2 alternate 1, a class
    // descriptor, endpoint 0x02 of 512 bytes (with high-bandwidth bits set).
    const std::vector<unsigned char> config = {
        9, 2,    46,   0, 2,    1,    0, 0x80, 50, // configuration
        9, 4,    0,    0, 1,    0xFF, 0, 0,    0,  // interface 0
        7, 5,    0x81, 2, 64,   0,    0,           // endpoint 0x81, 64 bytes
        9, 4,    2,    1, 1,    0xFF, 0, 0,    0,  // interface 2, alternate 1
        5, 0x24, 0,    0, 0,                       // a class descriptor
        7, 5,    0x02, 2, 0x00, 0x1A, 0};          // endpoint 0x02, 512 bytes
    UsbPipeEndpoint e = {};
    ASSERT_EQ(UsbFindPipeEndpoint(config.data(), (int)config.size(), 0, &e), 1);
    EXPECT_EQ(e.address, 0x81);
    EXPECT_EQ(e.maxPacketSize, 64);
    EXPECT_EQ(e.interfaceNumber, 0);
    ASSERT_EQ(UsbFindPipeEndpoint(config.data(), (int)config.size(), 1, &e), 1);
    EXPECT_EQ(e.address, 0x02);
    EXPECT_EQ(e.maxPacketSize, 512);
    EXPECT_EQ(e.interfaceNumber, 2);
    EXPECT_EQ(e.alternate, 1);
    EXPECT_EQ(UsbFindPipeEndpoint(config.data(), (int)config.size(), 2, &e), 0);
}

TEST_F(UsbBulkTest, HostileConfigurationsOpenNoPipe) {
    const struct {
        const char* name;
        std::vector<unsigned char> config;
        int requestFails;
    } cases[] = {
        {"ZeroLengthBeforeTheEndpoints", With(Endpoints(2, 23), 0, 0), 0},
        {"TotalLengthAboveBufferNoBulkOut", Resized(Endpoints(140, 0xFFFF), 1000), 0},
        // The slot held a good configuration before; a failed request must not reuse it.
        {"RequestFails", Endpoints(2, 23), 1},
    };
    UsbSimDevice good = Device(kPath0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsbSimReset();
        init_cusbbulk();
        UsbSimAddDevice(&good);
        ASSERT_EQ(UsbOpenDevice(USB_VERUP_PRODUCT_ID), 0);
        UsbCloseDevice(0);
        UsbSimReset();
        UsbSimDevice d = Device(kPath1, DEFAULT_VENDOR_ID, 0x1002);
        memcpy(d.config, c.config.data(), c.config.size());
        d.configLength = (int)c.config.size();
        d.configRequestFails = c.requestFails;
        UsbSimAddDevice(&d);
        ASSERT_EQ(UsbOpenDevice(0x1002), 0);
        EXPECT_EQ(UsbOpenPipe(0, 0x00, nullptr), USB_HANDLE_NONE);
        EXPECT_EQ(UsbSimPipeOpenAttempts(), 0);
        free_cusbbulk();
    }
}

// ---- The application layer.

TEST_F(UsbBulkTest, OpenFailuresGiveTheirTextAndCloseEverything) {
    UsbSimDevice onlyOut = Device(kPath0);
    SetEndpoints(&onlyOut, {{0x01, 2, 64}});
    UsbSimDevice onlyIn = Device(kPath0);
    SetEndpoints(&onlyIn, {{0x81, 2, 64}});
    UsbSimDevice interruptIn = Device(kPath0);
    SetEndpoints(&interruptIn, {{0x01, 2, 64}, {0x82, 3, 64}});
    UsbSimDevice stuckPipes = Device(kPath0);
    stuckPipes.pipeOpenFailures = 16;
    const struct {
        const char* name;
        std::vector<UsbSimDevice> devices;
        const char* text;
    } cases[] = {
        {"NoDevice", {}, "Usb Open Error!(Can't find VerUp Device)"},
        {"OtherProduct",
         {Device(kPath0, DEFAULT_VENDOR_ID, 0x1000)},
         "Usb Open Error!(Can't find VerUp Device)"},
        {"NoBulkIn", {onlyOut}, "Usb Open Error!(Failed to open read-pipe)"},
        {"InterruptInOnly", {interruptIn}, "Usb Open Error!(Failed to open read-pipe)"},
        {"PipeFilesNeverOpen", {stuckPipes}, "Usb Open Error!(Failed to open read-pipe)"},
        {"NoBulkOut", {onlyIn}, "Usb Open Error!(Failed to open write-pipe)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsbSimReset();
        for (const UsbSimDevice& d : c.devices) {
            UsbSimAddDevice(&d);
        }
        char errorText[PATH_SIZE] = "untouched";
        EXPECT_EQ(UsbBulkOpen(errorText), 0);
        EXPECT_STREQ(errorText, c.text);
        EXPECT_EQ(UsbSimOpenHandleCount(), 0);
        EXPECT_EQ(UsbCheckDevice(0), 0) << "the slot is free again";
        UsbBulkAbort();
        EXPECT_EQ(UsbSimRequestCount(IOCTL_USBBULK_ABORT_PIPE), 0);
    }
}

class UsbBulkInstrumentTest : public UsbBulkTest {
  protected:
    void SetUp() override {
        UsbBulkTest::SetUp();
        VirtualInstrumentConfig instrument;
        VirtualInstrumentDefaultConfig(&instrument);
        instrument.versionMajor[1] = 1;
        instrument.versionMinor[1] = 3;
        VirtualInstrumentReset(&instrument);
        UsbSimDevice d = Device(kPath0);
        d.instrument = 1;
        UsbSimAddDevice(&d);
        char errorText[PATH_SIZE] = "untouched";
        ASSERT_EQ(UsbBulkOpen(errorText), 1);
        EXPECT_STREQ(errorText, "untouched");
        EXPECT_EQ(UsbSimOpenHandleCount(), 3);
    }
};

TEST_F(UsbBulkInstrumentTest, RepliesComeSixteenBytesAtATime) {
    const std::vector<unsigned char> inquiry = ExampleInquiry();
    ASSERT_EQ(UsbBulkSend(inquiry.data(), (int)inquiry.size()), 1);
    unsigned char buffer[64];
    memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    const std::vector<unsigned char> reply = ExampleInquiryReply();
    EXPECT_EQ(memcmp(buffer, reply.data(), reply.size()), 0);
    EXPECT_EQ(buffer[USB_BULK_READ_SIZE], 0xEE) << "a read writes at most 16 bytes";
    EXPECT_EQ(UsbSimLargestRead(), (uint32_t)USB_BULK_READ_SIZE);
    UsbBulkClose();
    EXPECT_EQ(UsbSimOpenHandleCount(), 0);
    EXPECT_EQ(UsbBulkSend(inquiry.data(), (int)inquiry.size()), 0);
}

TEST_F(UsbBulkInstrumentTest, AbortEndsAReadWaitingInAnotherThread) {
    int result = -1;
    Clock::time_point start = Clock::now();
    std::thread reader([&result] {
        unsigned char buffer[USB_BULK_READ_SIZE];
        result = UsbBulkReceive(buffer);
    });
    while (UsbSimWaitingReads() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    UsbBulkAbort();
    reader.join();
    EXPECT_EQ(result, -2);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(UsbSimRequestCount(IOCTL_USBBULK_ABORT_PIPE), 1);

    // The driver only cancels a pending read: one that starts after the stop ends at
    // once all the same, until the pipes are opened again.
    unsigned char buffer[USB_BULK_READ_SIZE];
    EXPECT_EQ(UsbBulkReceive(buffer), -2);
    UsbBulkClose();
    char errorText[PATH_SIZE];
    ASSERT_EQ(UsbBulkOpen(errorText), 1);
    const std::vector<unsigned char> inquiry = ExampleInquiry();
    ASSERT_EQ(UsbBulkSend(inquiry.data(), (int)inquiry.size()), 1);
    EXPECT_EQ(UsbBulkReceive(buffer), 1);
}

TEST_F(UsbBulkInstrumentTest, AWriteThatComesBackShortOrFailsIsAFailedSend) {
    const std::vector<unsigned char> inquiry = ExampleInquiry();
    for (int shortWrite = 0; shortWrite <= 1; shortWrite++) {
        SCOPED_TRACE(shortWrite);
        // Write 0 fails; write 1 comes back short.
        UsbSimSetWriteFault(shortWrite, shortWrite);
        EXPECT_EQ(UsbBulkSend(inquiry.data(), (int)inquiry.size()), 0);
    }
}

// ---- Whole updates through the engine over the simulated pipes, and the fault matrix.

bool OpenInstrumentPipes(const VirtualInstrumentConfig& instrument, const FaultRow* cell) {
    VirtualInstrumentReset(&instrument);
    // Pipes opened afresh: the stop of the run before is kept until then.
    UsbBulkClose();
    free_cusbbulk();
    UsbSimReset();
    init_cusbbulk();
    UsbSimDevice d = Device(kPath0);
    d.instrument = 1;
    UsbSimAddDevice(&d);
    if (cell != nullptr && cell->failSendAt >= 0) {
        UsbSimSetWriteFault(cell->failSendAt, 0);
    }
    char errorText[PATH_SIZE] = "";
    const int opened = UsbBulkOpen(errorText);
    EXPECT_EQ(opened, 1) << errorText;
    return opened == 1;
}

bool ClosePipes(void) {
    UsbBulkClose();
    return true;
}

// The pipe read has no time-out of its own: where the instrument falls silent, only the
// user's Abort ends the run, and it ends as an abort.
bool WaitingInAPipeRead(void) {
    return UsbSimWaitingReads() > 0;
}

const TransportPath kUsbBulkPath = {
    "UsbBulk",  DEVICE_TYPE_USB_BULK,       nullptr, OpenInstrumentPipes,
    ClosePipes, VirtualInstrumentFlashRead, nullptr, WaitingInAPipeRead,
    nullptr};

TEST_F(UsbBulkInstrumentTest, WholeUpdateWritesEveryBlockIntoFlash) {
    const PathInstrument instruments[] = {
        {"Protocol0Packed", 0, 256, 0, 0, nullptr, 0, 0},
        {"Protocol1RawFillTwoPhase", 1, 1024, DEVICE_FLAG_RAW | DEVICE_FLAG_FILL, 3, nullptr, 0, 0},
    };
    std::vector<VsbBlock> blocks = TestSeveralBlocks();
    blocks[1].runCount = 1;
    blocks[1].runs[0] = {1024, 1024, 0xFF};
    for (const PathInstrument& instrument : instruments) {
        ExpectWholeUpdate(kUsbBulkPath, instrument, blocks);
        for (const VsbBlock& b : blocks) {
            EXPECT_EQ(VirtualInstrumentFlashWrittenCount(b.address, b.dataSize), b.dataSize);
        }
        EXPECT_EQ(UsbSimLargestRead(), (uint32_t)USB_BULK_READ_SIZE);
    }
}

TEST_F(UsbBulkInstrumentTest, AbortEndsTheWaitForASilentInstrument) {
    ExpectAbortEndsTheWaitForASilentInstrument(kUsbBulkPath);
}

class UsbBulkFault : public UsbBulkTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(UsbBulkFault, EndsTheRunWithItsTextAndLeavesOnlyAcknowledgedPackets) {
    ExpectFaultRowOnPath(kUsbBulkPath, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Matrix, UsbBulkFault,
                         ::testing::ValuesIn(kFaultRows, kFaultRows + kFaultRowCount),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
