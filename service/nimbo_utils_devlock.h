// Device lock: the timer and payment-application signals are handed here by the signal
// thread (never in signal context).
#pragma once

// SIGALRM (device-lock timer) or the payment application's 93/94 answers (protocol number).
void devlock_timer_handler(int signal_number);
