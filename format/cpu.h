// format/cpu.h: whether the processor multiplies without carries (PCLMULQDQ) and has
// SSSE3 (which brings SSE2 and SSE3 along), which the CRCs' folding paths and the field's
// products need; read from CPUID leaf 1. Processors other than x86 never fold.
#pragma once

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

inline bool ProcessorCanFoldCrc()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    return (ecx & bit_PCLMUL) && (ecx & bit_SSSE3) && (edx & bit_SSE2);
}

// Whether the processor shuffles bytes by a table (SSSE3), which the field's products use.
inline bool ProcessorHasSsse3()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    return (ecx & bit_SSSE3) && (edx & bit_SSE2);
}
#else
inline bool ProcessorCanFoldCrc()
{
    return false;
}

inline bool ProcessorHasSsse3()
{
    return false;
}
#endif
