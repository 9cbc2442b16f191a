/* Executes one instruction that the 386 lacks, chosen by the build. The
 * lock forms are what GCC emits from -march=i486 on for the __sync and
 * __atomic builtins and MinGW's InterlockedCompareExchange and
 * InterlockedExchangeAdd; for the 386 it calls helpers instead. */
#if defined(USE_CMOV)
#define INSN "cmovne %ecx, %eax"
#elif defined(USE_FCMOV)
#define INSN "fcmovb %st(1), %st"
#elif defined(USE_FCOMI)
#define INSN "fcomi %st(1), %st"
#elif defined(USE_MMX)
#define INSN "paddb %mm1, %mm0"
#elif defined(USE_SSE)
#define INSN "addps %xmm1, %xmm0"
#elif defined(USE_CPUID)
#define INSN "cpuid"
#elif defined(USE_RDTSC)
#define INSN "rdtsc"
#elif defined(USE_BSWAP)
#define INSN "bswap %eax"
#elif defined(USE_CMPXCHG)
#define INSN "cmpxchg %ecx, (%edx)"
#elif defined(USE_XADD)
#define INSN "xadd %ecx, (%edx)"
#elif defined(USE_LOCK_CMPXCHG)
#define INSN "lock cmpxchg %ecx, (%edx)"
#elif defined(USE_LOCK_XADD)
#define INSN "lock xadd %ecx, (%edx)"
#elif defined(USE_WBINVD)
#define INSN "wbinvd"
#elif defined(USE_SYSENTER)
#define INSN "sysenter"
#elif defined(USE_EMMS)
#define INSN "emms"
#elif defined(USE_POPCNT)
#define INSN "popcnt %ecx, %eax"
#elif defined(USE_LONG_NOP)
#define INSN "nopl 0(%eax)"
#elif defined(USE_LONG_NOP_REGISTER)
#define INSN "nopl %eax" /* 0F 1F C0, which objdump shows as "nop %eax" */
#elif defined(USE_ENDBR32)
#define INSN "endbr32" /* F3 0F 1E FB: what GCC's -fcf-protection puts in */
#endif

int main(void)
{
    __asm__ volatile(INSN);
    return 0;
}
