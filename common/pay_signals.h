// Signal numbers of the payment-application channel.
//
// The protocol names signals 89..99 (real-time signals of the MIPS numbering, which
// runs up to 127). Other hosts, and qemu user mode, stop at 64: there number n maps to
// SIGRTMIN+4+(n-89). This table is shared by the program, the library and the test
// stand-ins, in both directions.
#pragma once

#include <signal.h>

#define NIMBO_PAY_SIG_FIRST 89
#define NIMBO_PAY_SIG_LAST 99

#if defined(__mips__) && !defined(NIMBO_EMULATED_SIGNALS)
#define NIMBO_NATIVE_PAY_SIGNALS 1
#endif

// Protocol number (89..99) to the host's signal number; -1 outside the range.
static inline int nimbo_pay_signal(int n) {
    if (n < NIMBO_PAY_SIG_FIRST || n > NIMBO_PAY_SIG_LAST) return -1;
#ifdef NIMBO_NATIVE_PAY_SIGNALS
    return n;
#else
    return SIGRTMIN + 4 + (n - NIMBO_PAY_SIG_FIRST);
#endif
}

// Host signal number to the protocol number (89..99); -1 when it is none of them.
static inline int nimbo_pay_signal_number(int sig) {
    for (int n = NIMBO_PAY_SIG_FIRST; n <= NIMBO_PAY_SIG_LAST; ++n)
        if (nimbo_pay_signal(n) == sig) return n;
    return -1;
}
