# DES-CBC against OpenSSL's DES-CBC (OpenSSL is the baseline only).
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
bx_add_bench(bench_des des_bench.cpp LIBS bx_crypto OpenSSL::Crypto)
