// Device lock: the timer and payment-application signals are handed here by the signal
// thread (never in signal context).
#pragma once

// Called for SIGALRM (the device-lock timer) and for the payment application's answers
// 93 and 94; `sig` is the host's signal number (compare with nimbo_pay_signal(93)).
void devlock_timer_handler(int sig);
