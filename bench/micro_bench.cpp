// Micro-benchmarks of the work on the path of every packet: packing the data into 7-bit
// bytes, checking the instrument's acknowledgement, reading a block header and handing a
// message through the MIDI receive ring.
#include "midi/midi_ring.h"
#include "platform/platform_file.h"
#include "sim/vsb_writer.h"
#include "sysfile/system_file.h"
#include "update/update_messages.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void BM_Pack7Bit(benchmark::State& state) {
    const int size = (int)state.range(0);
    std::vector<unsigned char> data((size_t)size);
    for (int i = 0; i < size; i++) {
        data[(size_t)i] = (unsigned char)(i * 131 + 7);
    }
    std::vector<unsigned char> out((size_t)(size + size / 7 + 1));
    unsigned char checksum = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Pack7Bit(data.data(), out.data(), size, &checksum));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
}
BENCHMARK(BM_Pack7Bit)->Arg(256)->Arg(1024)->Arg(32768);

SystemFileHeader BenchHeader(void) {
    SystemFileHeader h;
    memset(&h, 0, sizeof h);
    h.productId[0] = 0x3C;
    h.productId[1] = PRODUCT_ID_ABSENT;
    h.productId[2] = PRODUCT_ID_ABSENT;
    h.memberId = MEMBER_ID_ABSENT_FROM;
    return h;
}

// The acknowledgement of a data packet: status 0.
void BM_ValidateReply(benchmark::State& state) {
    SystemFileHeader header = BenchHeader();
    unsigned char reply[REPLY_BUFFER_SIZE];
    memset(reply, 0, sizeof reply);
    int n = BuildMessageHeader(reply, &header, MSG_STATUS);
    reply[n++] = 0;
    reply[n++] = SYSEX_END;
    char errorText[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(ValidateReply(reply, &header, MSG_STATUS, errorText, nullptr));
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}
BENCHMARK(BM_ValidateReply);

void BM_ReadBlockHeader(benchmark::State& state) {
    const char* tmp = getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/orv_bench_header.vsb";
    VsbBlock block;
    VsbBlockDefaults(&block);
    block.dataSize = 1024;
    char errorText[256] = "";
    if (VsbWriteFile(path.c_str(), &block, 1, 0, 0x55, errorText) != 1) {
        state.SkipWithError(errorText);
        return;
    }
    PlatformFile file = PlatformFileOpenRead(path.c_str());
    SystemFileHeader header;
    for (auto _ : state) {
        PlatformFileSeek(file, 0);
        benchmark::DoNotOptimize(ReadBlockHeader(file, &header, errorText));
    }
    PlatformFileClose(&file);
    std::remove(path.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * BLOCK_HEADER_SIZE);
}
BENCHMARK(BM_ReadBlockHeader);

unsigned char g_ringBuffers[MIDI_RX_BUFFER_COUNT][MIDI_RX_BUFFER_SIZE];
MidiRing g_ring;

int BenchRequeue(int slot) {
    g_ringBuffers[slot][0] = 0;
    return 1;
}

// One buffer handed back by the service and received, as for every acknowledgement.
void BM_MidiRingReceive(benchmark::State& state) {
    unsigned char* buffers[MIDI_RX_BUFFER_COUNT];
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        buffers[i] = g_ringBuffers[i];
    }
    MidiRingStart(&g_ring, buffers, BenchRequeue);
    const unsigned char ack[] = {0xF0, 0x42, 0x23, 0x3C, 0x05, 0x00, 0xF7};
    unsigned char reply[REPLY_BUFFER_SIZE];
    int slot = 0;
    for (auto _ : state) {
        memcpy(g_ringBuffers[slot], ack, sizeof ack);
        MidiRingBufferReturned(&g_ring);
        benchmark::DoNotOptimize(MidiRingReceive(&g_ring, reply, sizeof reply, 10));
        slot = (slot + 1) % MIDI_RX_BUFFER_COUNT;
    }
    MidiRingStop(&g_ring);
    state.SetBytesProcessed((int64_t)state.iterations() * MIDI_RX_BUFFER_SIZE);
}
BENCHMARK(BM_MidiRingReceive);

} // namespace

BENCHMARK_MAIN();
