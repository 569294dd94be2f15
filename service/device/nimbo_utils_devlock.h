// Device lock: the requested state, the payment application's lock protocol and the timer
// that repeats the request (log tag "nimbo_utils").
//
// The timer (SIGALRM) and the payment application's answers 93 and 94 are received by the
// signal thread, which calls devlock_timer_handler there, never in signal context.
#pragma once

#include <time.h>

#include <atomic>

// The state the payment application is being asked to reach: 0 unlock, 1 lock, anything
// else no request pending.
extern std::atomic<int> g_devlock_target_state;

extern "C" {

// Called for SIGALRM (the device-lock timer) and for the payment application's answers
// 93 and 94; `sig` is the host's signal number (compare with nimbo_pay_signal(93)).
void devlock_timer_handler(int sig);

// 0 or 1 requests unlock or lock; 999 recovers the request recorded in the file (-4 when
// there is none). 0, or -8 when the actual state is unknown or the timer cannot be armed.
int nimbo_utils_devlock_deal(int target_state);

// -8 when the requested-state file "devlock_state" in the data directory holds 1 (the
// device counts as locked), otherwise 0.
int nimbo_utils_get_devlock_state(void);

// Disarms the timer: 0, or -8 when disarming fails.
int timer_stop(timer_t timer_id);

}  // extern "C"

namespace nimbo_devlock {

constexpr int kFirstSignalSeconds = 5;
constexpr int kRepeatSeconds = 180;
constexpr int kRecover = 999;

}  // namespace nimbo_devlock
