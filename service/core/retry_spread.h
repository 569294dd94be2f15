// Random spread of the fixed retry delays (bootstrap, refused connect, automatic reconnect).
// A fleet started or cut off at one moment retries in lockstep when every terminal waits the
// same fixed delay; "retry_spread=P" in nimboservice.ini varies each delay by up to P percent
// either way. 0, the default, keeps the delays fixed.
#pragma once

namespace nimbo {

constexpr int kRetrySpreadMax = 100;

// The spread in percent, 0..kRetrySpreadMax; anything else is refused (false) and changes nothing.
bool set_retry_spread(int percent);
int retry_spread();

// `seconds` varied at random by up to the spread percent either way, never below 1; unchanged
// when the spread is 0 or `seconds` is below 1.
int spread_delay(int seconds);

}  // namespace nimbo
