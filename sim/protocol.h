/* What motor-sim and its adapter layer tell each other, in C for both: the layer's configuration,
 * which travels in the environment, and the messages on the sockets between them. protocol.c
 * writes and reads all of it, compiled into the layer and into motor-sim alike, so that neither
 * side can read what the other did not mean. */
#ifndef MOTOR_SIM_PROTOCOL_H
#define MOTOR_SIM_PROTOCOL_H

#ifdef __cplusplus
#include <climits>
#include <cstddef>
#include <cstdint>
extern "C" {
#else
#include <limits.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#endif

/* The simulation (struct sim_config); the layer is inert while it is unset or empty. */
#define MOTOR_SIM_ENV "MOTOR_SIM"
/* The tap (struct sim_tap). A variable of its own, so that a tap survives a motor-sim started
 * under it: motor-sim --tap -- motor-sim -- COMMAND taps the simulated device. */
#define MOTOR_SIM_ENV_TAP "MOTOR_SIM_TAP"

/* A configuration is written as fields joined by commas, NAME for a flag and NAME=VALUE for the
 * rest, in the order of the records below; a field at its default is left out:
 *
 *   device=/dev/ttyUSB0,pty=/dev/pts/3,sysfs=/tmp/motor-sim-Yq3x,events=5,write-limit=16,replay
 *
 * In a path, a comma or a backslash is written with a backslash before it. A value the layer cannot
 * read stops the command (status 125) with a message naming the field, rather than fake the adapter
 * wrongly. */

/* Adapter faults; all zero is an honest adapter. */
struct sim_faults {
    bool refuse_open;         /* refuse-open: opening the device fails with EACCES */
    bool refuse_baud;         /* refuse-baud: asking for 4,000,000 baud fails with EINVAL */
    bool refuse_low_latency;  /* refuse-low-latency: TIOCSSERIAL fails with EPERM */
    bool no_serial_info;      /* no-serial-info: TIOCGSERIAL fails with ENOTTY */
    bool limit_writes;        /* write-limit=N: each write takes at most write_limit bytes */
    uint32_t write_limit;     /* (write returns 0 when it is 0; see adapter/write.c) */
    uint32_t substitute_rate; /* substitute-baud=RATE: the driver runs RATE for 4,000,000 baud
                                 and says so in the settings; 0: none */
    uint32_t silent_rate;     /* silent-baud=RATE: the same, the settings keeping 4,000,000 */
    bool stall_drain;         /* stall-drain: the transmitter never empties */
};

/* MOTOR_SIM: the simulated device, and what the layer fakes of it. */
struct sim_config {
    char device[PATH_MAX]; /* device=PATH: the simulated device path, absolute (required) */
    char pty[PATH_MAX];    /* pty=PATH: the pseudo-terminal slave standing in for it (required) */
    char sysfs[PATH_MAX];  /* sysfs=PATH: motor-sim's folder holding the device's sysfs as paths
                              below it (<folder>/sys/class/tty/...); empty: none */
    int events;            /* events=FD: the inherited event socket (below); -1: none */
    struct sim_faults faults;
    bool replay; /* replay: ask before each write and drain, report input flushes, refuse
                    every other serial device (motor-sim --replay) */
};

/* MOTOR_SIM_TAP: the device whose traffic is reported, and where to. */
struct sim_tap {
    char device[PATH_MAX]; /* device=PATH (required) */
    int reports;           /* reports=FD: the inherited report socket (required) */
};

/* Each encoder writes its text into out (size bytes, always terminated, cut short if it does not
 * fit) and returns the whole text's length, as snprintf does. */
size_t sim_config_encode(const struct sim_config *config, char *out, size_t size);
/* The faults and the replay flag alone, as the configuration writes them: "" for none. */
size_t sim_faults_encode(const struct sim_config *config, char *out, size_t size);
size_t sim_tap_encode(const struct sim_tap *tap, char *out, size_t size);

/* Each decoder fills the record from text, or returns false with error (error_size bytes) naming
 * the field and what is wrong with it: "write-limit needs a byte count, not 'abc'". */
bool sim_config_decode(const char *text, struct sim_config *config, char *error, size_t error_size);
bool sim_tap_decode(const char *text, struct sim_tap *tap, char *error, size_t error_size);

/* The messages, one per SOCK_SEQPACKET datagram in the form sim_message_encode writes (both ends
 * are built together, on one machine). The layer's events go on the event socket, and each waits
 * for motor-sim's SIM_ANSWER, so that motor-sim has handled it before the faked call returns. The
 * tap's reports go on the report socket and are never answered: the command does not wait for
 * motor-sim, unless reports pile up faster than it reads them. */
enum sim_kind {
    SIM_UNREADABLE, /* what sim_message_decode makes of a message it cannot read */
    /* Events, with the fields they carry. */
    SIM_OPEN,               /* data (the path): the simulated device was opened */
    SIM_OPEN_REFUSED,       /* data: an open was refused (refuse-open) */
    SIM_OPEN_FOREIGN,       /* data: (replay) an open of another serial device failed, ENOENT */
    SIM_CLOSE,              /* line, error: the command closes the device, leaving these settings
                             * (error: why TCGETS2 could not read them, 0 if it could) */
    SIM_SERIAL_GET_REFUSED, /* TIOCGSERIAL failed (no-serial-info) */
    SIM_SERIAL_SET,         /* low_latency, error: TIOCSSERIAL, and the errno it failed with */
    SIM_BAUD_REFUSED,       /* asked_rate: a termios2 speed change failed (refuse-baud) */
    SIM_BAUD_SUBSTITUTED,   /* asked_rate, rate: the adapter runs rate and says so */
    SIM_BAUD_SILENT,        /* asked_rate, rate: it runs rate, the settings keep the asked one */
    SIM_WRITE,              /* ns: the command is about to write to the device */
    SIM_WRITE_LIMITED,      /* count, taken: a write of count bytes cut short (write-limit) */
    SIM_WRITE_HELD,         /* count: a write the stalled adapter took and holds (stall-drain) */
    SIM_READ,               /* count: the command read count (> 0) bytes from the device */
    SIM_DRAIN,              /* the command waits for the transmitter to empty */
    SIM_DRAIN_STALLED,      /* ...which never happens (stall-drain) */
    SIM_FLUSH,              /* (replay) the command is about to flush the device's input */
    SIM_ASK,                /* call, count, ns: (replay) a write of count bytes made at ns, or a
                               drain, is about to be passed on; the answer may fail it */
    SIM_ANSWER,             /* error: motor-sim's answer to any event; for SIM_ASK, 0 to go on
                               or the errno the call must fail with */
    /* The tap's reports, each with the moment (ns) it happened. Long transfers come as several
     * reports of at most SIM_TAP_CHUNK bytes with the same ns; a failure repeated without a
     * success in between is reported once. */
    SIM_TAP_OPEN,   /* the device was first opened */
    SIM_TAP_TX,     /* data: bytes the device accepted from a write */
    SIM_TAP_RX,     /* data: bytes a read took from the device */
    SIM_TAP_FLUSH,  /* data: an input flush, with the bytes it discarded (maybe none) */
    SIM_TAP_FAIL,   /* call, error: a call on the device failed */
    SIM_TAP_EOF,    /* a read met end of file (the line hung up) */
    SIM_TAP_LINE,   /* line: the settings as a device descriptor is closed, or as the command
                       exits with it open */
    SIM_TAP_CLOSE,  /* a device descriptor is being closed */
    SIM_TAP_SERIAL, /* low_latency, error: TIOCSSERIAL, and the errno it failed with */
    SIM_KINDS
};

/* The calls a question or a failure names, by the names recordings give them. */
enum sim_call { SIM_CALL_WRITE, SIM_CALL_READ, SIM_CALL_SETTINGS, SIM_CALL_FLUSH, SIM_CALL_DRAIN };

/* The line settings as termios2 holds them. */
struct sim_line {
    uint32_t speed; /* c_ospeed */
    uint32_t cflag;
    uint32_t iflag;
    uint32_t oflag;
    uint32_t lflag;
};

/* One message; each kind carries the fields its comment names, the others are not sent. */
struct sim_message {
    enum sim_kind kind;
    int64_t ns;          /* CLOCK_MONOTONIC, in nanoseconds */
    uint64_t count;      /* bytes */
    uint64_t taken;      /* bytes */
    uint32_t asked_rate; /* baud */
    uint32_t rate;       /* baud */
    int error;           /* an errno; 0 for success */
    bool low_latency;    /* ASYNC_LOW_LATENCY was asked for */
    enum sim_call call;
    struct sim_line line;
    const unsigned char *data; /* a path or bytes, data_size of them, at most SIM_DATA_MAX; */
    size_t data_size;          /* decoded, data points into the datagram */
};

/* The most a message carries of a path (the rest is cut) or of bytes. */
#define SIM_DATA_MAX 512
/* The most bytes of a transfer one tap report carries. */
#define SIM_TAP_CHUNK 200
/* The longest datagram. */
#define SIM_MESSAGE_MAX 600

/* Writes message into out; returns its length. */
size_t sim_message_encode(const struct sim_message *message, unsigned char out[SIM_MESSAGE_MAX]);
/* Reads a datagram of size bytes; false, with message->kind SIM_UNREADABLE, if it is none. */
bool sim_message_decode(const unsigned char *in, size_t size, struct sim_message *message);

/* "write", "read", "settings", "flush" or "drain". */
const char *sim_call_name(enum sim_call call);

#ifdef __cplusplus
}
#endif

#endif
