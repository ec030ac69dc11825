#include "tests/update_test_support.h"

#include "logview/log_view.h"
#include "sim/virtual_instrument.h"
#include "tests/doubles/log_surface_record.h"
#include "update/transport.h"
#include "app/update_window.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <chrono>
#include <cstdio>
#include <cstring>

VsbBlock TestRandomBlock(int code, int major, int minor, uint32_t address, uint32_t size) {
    VsbBlock b;
    VsbBlockDefaults(&b);
    b.blockCode = (unsigned char)code;
    b.versionMajor = (unsigned char)major;
    b.versionMinor = (unsigned char)minor;
    b.address = address;
    b.dataSize = size;
    b.content = VSB_CONTENT_RANDOM;
    b.seed = (uint32_t)(code * 7919);
    return b;
}

bool TestWriteSystemFile(const std::string& path, const std::vector<VsbBlock>& blocks,
                         uint32_t surplusBytes) {
    char errorText[TEXT_SIZE] = "";
    if (VsbWriteFile(path.c_str(), blocks.data(), (int)blocks.size(), surplusBytes, 0x55,
                     errorText) != 1) {
        ADD_FAILURE() << "cannot write " << path << ": " << errorText;
        return false;
    }
    return true;
}

bool TestEngineSetUp(PlatformWindow mainWindow, int deviceType) {
    RecordReset();
    LogViewCreate(mainWindow, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    ShowLog = 1;
    char errorText[TEXT_SIZE] = "";
    if (AllocUpdateBuffers(errorText) != 1) {
        ADD_FAILURE() << errorText;
        return false;
    }
    g_updateEngine.observer = *UpdateWindowObserver(mainWindow);
    g_updateEngine.deviceType = deviceType;
    g_updateEngine.skipVersionCheck = 0;
    g_updateEngine.skipDeviceCheck = 0;
    g_updateEngine.updateState.store(UPDATE_RUNNING);
    return true;
}

void TestEngineTearDown(void) {
    LogViewDestroy();
    FreeUpdateBuffers();
    g_updateEngine.updateState.store(UPDATE_IDLE);
}

bool TestLogHas(const char* text) {
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        if (std::strcmp(RecordedLogRow(r), text) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<unsigned char> TestBlockData(const VsbBlock& block) {
    std::vector<unsigned char> data(block.dataSize);
    char errorText[TEXT_SIZE] = "";
    EXPECT_EQ(1, VsbBlockData(&block, data.data(), block.dataSize, errorText)) << errorText;
    return data;
}

void ExpectFlashHoldsBlock(const VsbBlock& block, TestFlashRead readFlash) {
    std::vector<unsigned char> flash(block.dataSize);
    ASSERT_EQ(1, readFlash(block.address + block.offset, flash.data(), block.dataSize))
        << "block code " << (int)block.blockCode;
    EXPECT_EQ(TestBlockData(block), flash) << "block code " << (int)block.blockCode;
}

long TestAbortRunningUpdate(const char* fileName, int deviceType, int settleMs,
                            bool (*reached)(void)) {
    const UpdateObserver observer = g_updateEngine.observer;
    StartUpdate(&observer, fileName, deviceType, 0, 0);
    for (int waited = 0; reached != nullptr && !reached() && waited < 10000; waited++) {
        PlatformSleep(1);
    }
    PlatformSleep((uint32_t)settleMs);
    auto chosen = std::chrono::steady_clock::now();
    UpdateAbort(TransportWaitSleeping);
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - chosen)
                  .count();
    UpdateEndThread();
    EXPECT_TRUE(TestLogHas("User aborted.")) << "transport " << deviceType;
    std::printf("[ abort    ] transport %d: the update ended %ld ms after Abort\n", deviceType, ms);
    return ms;
}
