/* Result codes of the program and the library: 0 success, a negative value a failure.
 * The texts of -10..0 that replies carry come from one table in the program
 * (nimbo_utils_errcode_converted_into_faildes); the values below -10000 are the dispatcher's
 * own and never reach a reply as numbers. Plain C: the library's C sources see it too. */
#ifndef NIMBO_RESULT_CODES_H
#define NIMBO_RESULT_CODES_H

enum {
    NIMBO_OK = 0,
    NIMBO_ERR_TIMEOUT = -1,        /* also: the server answered no */
    NIMBO_ERR_INVALID = -2,        /* invalid argument or parameter */
    NIMBO_ERR_NOT_FOUND = -3,      /* a device file, or the payment application not running */
    NIMBO_ERR_NOT_INIT = -4,
    NIMBO_ERR_INITIALISED = -5,
    NIMBO_ERR_OVERFLOW = -6,
    NIMBO_ERR_NOT_SUPPORTED = -7,
    NIMBO_ERR_FAILED = -8,
    NIMBO_ERR_PAYING = -9,         /* a payment is in progress */
    NIMBO_ERR_TRANSFER = -10,

    NIMBO_HANDLED = -10000,        /* handled: the dispatcher publishes nothing */
    NIMBO_PAUSED = -10001,         /* the task is paused until the next connection */
    NIMBO_REPLY_QOS2 = -10002,     /* the handler's reply goes out with QoS 2 */
    NIMBO_DOWNLOAD_BUSY = -10011   /* another download is running */
};

#endif
