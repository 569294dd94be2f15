// Probe of the payment application's lock file (log tag "nimbo_utils").
#pragma once

extern "C" {

// 0 not paying; -9 a process holds a write lock on the payment lock file; -8 error.
int nimbo_utils_check_paylock_state(void);

}  // extern "C"
