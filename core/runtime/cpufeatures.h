#pragma once

namespace ink {

// What the processor offers beyond the build's baseline, asked once. Code
// with a faster form for an instruction set picks it from here.
struct CpuFeatures {
    bool ssse3 = false;
    bool avx2 = false;
    bool avx512 = false;  // AVX-512 F and BW
};

inline const CpuFeatures &cpuFeatures() {
    static const CpuFeatures features = [] {
        CpuFeatures f;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
        __builtin_cpu_init();
        f.ssse3 = __builtin_cpu_supports("ssse3");
        f.avx2 = __builtin_cpu_supports("avx2");
        f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
        return f;
    }();
    return features;
}

}  // namespace ink
