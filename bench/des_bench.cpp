// DES-CBC throughput of the agent's own cipher against OpenSSL's DES-CBC on
// the same buffers, same key and IV.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "agent/crypto/des.h"
#include "bench/figures.h"

namespace {

constexpr size_t kBufferSize = 4096;
const uint8_t kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
const uint8_t kIv[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

std::vector<uint8_t> Input() {
    std::vector<uint8_t> buf(kBufferSize);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 131 + 7);
    return buf;
}

void BM_DesCbcEncrypt(benchmark::State& state) {
    bx::DesKeySchedule ks;
    bx::DesSetKey(kKey, ks);
    std::vector<uint8_t> in = Input(), out(kBufferSize);
    for (auto _ : state) {
        bx::DesCbc(in.data(), out.data(), in.size(), ks, kIv, bx::DesDirection::Encrypt);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_DesCbcEncrypt);

void BM_OpenSslDesCbcEncrypt(benchmark::State& state) {
    DES_cblock key;
    std::memcpy(key, kKey, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&key, &ks);
    std::vector<uint8_t> in = Input(), out(kBufferSize);
    for (auto _ : state) {
        DES_cblock iv;
        std::memcpy(iv, kIv, 8);
        DES_ncbc_encrypt(in.data(), out.data(), static_cast<long>(in.size()), &ks, &iv, DES_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_OpenSslDesCbcEncrypt);

void BM_DesCbcDecrypt(benchmark::State& state) {
    bx::DesKeySchedule ks;
    bx::DesSetKey(kKey, ks);
    std::vector<uint8_t> in = Input(), out(kBufferSize);
    for (auto _ : state) {
        bx::DesCbc(in.data(), out.data(), in.size(), ks, kIv, bx::DesDirection::Decrypt);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_DesCbcDecrypt);

void BM_OpenSslDesCbcDecrypt(benchmark::State& state) {
    DES_cblock key;
    std::memcpy(key, kKey, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&key, &ks);
    std::vector<uint8_t> in = Input(), out(kBufferSize);
    for (auto _ : state) {
        DES_cblock iv;
        std::memcpy(iv, kIv, 8);
        DES_ncbc_encrypt(in.data(), out.data(), static_cast<long>(in.size()), &ks, &iv, DES_DECRYPT);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_OpenSslDesCbcDecrypt);

}  // namespace

// Encryption is the sending path (every notification with names).
BX_FIGURE(bx::bench::Ratio("des_cbc_vs_openssl", "BM_DesCbcEncrypt", "BM_OpenSslDesCbcEncrypt", ">= 1.0x",
                           "bytes_per_second"));
BX_FIGURE(bx::bench::Ratio("des_cbc_decrypt_vs_openssl", "BM_DesCbcDecrypt", "BM_OpenSslDesCbcDecrypt", ">= 1.0x",
                           "bytes_per_second"));
// For scale: the encrypted-notification build rate is bounded by this.
BX_FIGURE(bx::bench::Figure("des_cbc_encrypt_bytes_per_s", "BM_DesCbcEncrypt", "bytes per s", "report",
                            "bytes_per_second"));
