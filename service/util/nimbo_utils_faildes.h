// The failure texts of the result codes.
#pragma once

extern "C" {

// The failure text of a result code into the caller's cleared 256-byte buffer: the table's
// text for -10 to 0, "Operation failed" for any other code.
void nimbo_utils_errcode_converted_into_faildes(int code, char* buffer);

}  // extern "C"
