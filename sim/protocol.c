/* The one writer and reader of what motor-sim and its layer tell each other (protocol.h). It
 * runs inside whatever program the layer is preloaded into: no allocation, and what the
 * messages go through (sim_message_encode, sim_message_decode) only copies bytes. */
#include "protocol.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* ---- Configurations: fields described once, for writing and reading. ---- */

enum field_type { FIELD_PATH, FIELD_DESCRIPTOR, FIELD_FLAG, FIELD_COUNT, FIELD_RATE };

struct field {
    const char *name;
    enum field_type type;
    size_t offset;     /* of the value in its record */
    size_t set_offset; /* FIELD_COUNT: of the flag that says the count is given */
    bool required;
};

static const struct field CONFIG_FIELDS[] = {
    {"device", FIELD_PATH, offsetof(struct sim_config, device), 0, true},
    {"pty", FIELD_PATH, offsetof(struct sim_config, pty), 0, true},
    {"sysfs", FIELD_PATH, offsetof(struct sim_config, sysfs), 0, false},
    {"events", FIELD_DESCRIPTOR, offsetof(struct sim_config, events), 0, false},
    /* The faults, from here on, in the order motor-sim's trace names them. */
    {"refuse-open", FIELD_FLAG, offsetof(struct sim_config, faults.refuse_open), 0, false},
    {"refuse-baud", FIELD_FLAG, offsetof(struct sim_config, faults.refuse_baud), 0, false},
    {"refuse-low-latency", FIELD_FLAG, offsetof(struct sim_config, faults.refuse_low_latency), 0,
     false},
    {"no-serial-info", FIELD_FLAG, offsetof(struct sim_config, faults.no_serial_info), 0, false},
    {"write-limit", FIELD_COUNT, offsetof(struct sim_config, faults.write_limit),
     offsetof(struct sim_config, faults.limit_writes), false},
    {"substitute-baud", FIELD_RATE, offsetof(struct sim_config, faults.substitute_rate), 0, false},
    {"silent-baud", FIELD_RATE, offsetof(struct sim_config, faults.silent_rate), 0, false},
    {"stall-drain", FIELD_FLAG, offsetof(struct sim_config, faults.stall_drain), 0, false},
    {"replay", FIELD_FLAG, offsetof(struct sim_config, replay), 0, false},
};
#define CONFIG_COUNT (sizeof CONFIG_FIELDS / sizeof CONFIG_FIELDS[0])
#define FIRST_FAULT 4

static const struct field TAP_FIELDS[] = {
    {"device", FIELD_PATH, offsetof(struct sim_tap, device), 0, true},
    {"reports", FIELD_DESCRIPTOR, offsetof(struct sim_tap, reports), 0, true},
};
#define TAP_COUNT (sizeof TAP_FIELDS / sizeof TAP_FIELDS[0])

/* What a value of each type must be, as the decoders' messages say it. */
static const struct {
    const char *noun;
    unsigned long long min;
    unsigned long long max;
} EXPECTED[] = {
    [FIELD_PATH] = {"an absolute path", 0, 0},
    [FIELD_DESCRIPTOR] = {"a descriptor number", 0, INT_MAX},
    [FIELD_FLAG] = {"no value", 0, 0},
    [FIELD_COUNT] = {"a byte count", 0, UINT32_MAX},
    [FIELD_RATE] = {"a rate", 1, UINT32_MAX},
};

/* Text written into a buffer that may be too small; length counts what did not fit too. */
struct text {
    char *out;
    size_t size;
    size_t length;
};

static void put(struct text *text, const char *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i, ++text->length)
        if (text->length + 1 < text->size)
            text->out[text->length] = bytes[i];
}

static void put_string(struct text *text, const char *string)
{
    put(text, string, strlen(string));
}

static void put_number(struct text *text, unsigned long long number)
{
    char digits[24];
    put(text, digits, (size_t)snprintf(digits, sizeof digits, "%llu", number));
}

static void put_path(struct text *text, const char *path)
{
    for (; *path != '\0'; ++path) {
        if (*path == ',' || *path == '\\')
            put_string(text, "\\");
        put(text, path, 1);
    }
}

/* Whether a field differs from its default, and is therefore written. */
static bool given(const struct field *field, const void *record)
{
    const char *value = (const char *)record + field->offset;
    switch (field->type) {
    case FIELD_PATH:
        return value[0] != '\0';
    case FIELD_DESCRIPTOR:
        return *(const int *)(const void *)value >= 0;
    case FIELD_FLAG:
        return *(const bool *)(const void *)value;
    case FIELD_COUNT:
        return *(const bool *)(const void *)((const char *)record + field->set_offset);
    case FIELD_RATE:
        return *(const uint32_t *)(const void *)value != 0;
    }
    return false;
}

static void put_field(struct text *text, const struct field *field, const void *record)
{
    const char *value = (const char *)record + field->offset;
    put_string(text, field->name);
    if (field->type != FIELD_FLAG)
        put_string(text, "=");
    if (field->type == FIELD_PATH)
        put_path(text, value);
    else if (field->type == FIELD_DESCRIPTOR)
        put_number(text, (unsigned long long)*(const int *)(const void *)value);
    else if (field->type != FIELD_FLAG)
        put_number(text, *(const uint32_t *)(const void *)value);
}

static size_t encode(const struct field *fields, size_t count, const void *record, char *out,
                     size_t size)
{
    struct text text = {out, size, 0};
    for (size_t i = 0; i < count; ++i) {
        if (!given(&fields[i], record))
            continue;
        if (text.length > 0)
            put_string(&text, ",");
        put_field(&text, &fields[i], record);
    }
    if (size > 0)
        out[text.length < size ? text.length : size - 1] = '\0';
    return text.length;
}

size_t sim_config_encode(const struct sim_config *config, char *out, size_t size)
{
    return encode(CONFIG_FIELDS, CONFIG_COUNT, config, out, size);
}

size_t sim_faults_encode(const struct sim_config *config, char *out, size_t size)
{
    return encode(CONFIG_FIELDS + FIRST_FAULT, CONFIG_COUNT - FIRST_FAULT, config, out, size);
}

size_t sim_tap_encode(const struct sim_tap *tap, char *out, size_t size)
{
    return encode(TAP_FIELDS, TAP_COUNT, tap, out, size);
}

static bool fail(char *error, size_t error_size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static bool fail(char *error, size_t error_size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(error, error_size, format, args);
    va_end(args);
    return false;
}

/* The length of the field at text: up to the first comma no backslash escapes. */
static size_t field_length(const char *text)
{
    size_t length = 0;
    while (text[length] != '\0' && text[length] != ',')
        length += text[length] == '\\' && text[length + 1] != '\0' ? 2 : 1;
    return length;
}

/* An absolute path that fits, its escapes undone. */
static bool read_path(const char *text, size_t length, char out[PATH_MAX])
{
    size_t used = 0;
    for (size_t i = 0; i < length; ++i, ++used) {
        i += text[i] == '\\' ? 1 : 0;
        if (i == length || used + 1 >= PATH_MAX)
            return false;
        out[used] = text[i];
    }
    out[used] = '\0';
    return used > 0 && out[0] == '/';
}

/* A plain decimal number within its bounds: no sign, no space, nothing after it. */
static bool read_number(const char *text, size_t length, unsigned long long min,
                        unsigned long long max, unsigned long long *number)
{
    *number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9' || *number > (max - (unsigned)(text[i] - '0')) / 10)
            return false;
        *number = *number * 10 + (unsigned)(text[i] - '0');
    }
    return length > 0 && *number >= min;
}

static bool read_value(const struct field *field, bool has_value, const char *text, size_t length,
                       void *record)
{
    char *value = (char *)record + field->offset;
    unsigned long long number = 0;
    switch (field->type) {
    case FIELD_FLAG:
        *(bool *)(void *)value = true;
        return !has_value;
    case FIELD_PATH:
        return read_path(text, length, value);
    case FIELD_COUNT:
        *(bool *)(void *)((char *)record + field->set_offset) = true;
        break;
    default:
        break;
    }
    if (!read_number(text, length, EXPECTED[field->type].min, EXPECTED[field->type].max, &number))
        return false;
    if (field->type == FIELD_DESCRIPTOR)
        *(int *)(void *)value = (int)number;
    else
        *(uint32_t *)(void *)value = (uint32_t)number;
    return true;
}

static bool decode(const struct field *fields, size_t count, const char *text, void *record,
                   char *error, size_t error_size)
{
    bool seen[CONFIG_COUNT] = {false};
    for (const char *item = text; *item != '\0';) {
        size_t length = field_length(item);
        const char *equals = memchr(item, '=', length);
        size_t name_length = equals != NULL ? (size_t)(equals - item) : length;
        const char *value = equals != NULL ? equals + 1 : item + length;
        size_t value_length = (size_t)(item + length - value);
        size_t i = 0;
        while (i < count && (strlen(fields[i].name) != name_length ||
                             strncmp(item, fields[i].name, name_length) != 0))
            ++i;
        if (i == count)
            return fail(error, error_size, "unknown field '%.*s'", (int)length, item);
        if (!read_value(&fields[i], equals != NULL, value, value_length, record))
            return fail(error, error_size, "%s needs %s, not '%.*s'", fields[i].name,
                        EXPECTED[fields[i].type].noun, (int)value_length, value);
        seen[i] = true;
        item += length + (item[length] == ',' ? 1 : 0);
    }
    for (size_t i = 0; i < count; ++i)
        if (fields[i].required && !seen[i])
            return fail(error, error_size, "%s is missing", fields[i].name);
    return true;
}

bool sim_config_decode(const char *text, struct sim_config *config, char *error, size_t error_size)
{
    memset(config, 0, sizeof *config);
    config->events = -1;
    return decode(CONFIG_FIELDS, CONFIG_COUNT, text, config, error, error_size);
}

bool sim_tap_decode(const char *text, struct sim_tap *tap, char *error, size_t error_size)
{
    memset(tap, 0, sizeof *tap);
    tap->reports = -1;
    return decode(TAP_FIELDS, TAP_COUNT, text, tap, error, error_size);
}

/* ---- Messages: the kind's byte, then the fields it carries, each as the machine holds it. ---- */

enum {
    F_NS = 1 << 0,
    F_COUNT = 1 << 1,
    F_TAKEN = 1 << 2,
    F_RATES = 1 << 3,
    F_ERROR = 1 << 4,
    F_LINE = 1 << 5,
    F_LOW_LATENCY = 1 << 6,
    F_CALL = 1 << 7,
    F_DATA = 1 << 8,
};

static const unsigned CARRIES[SIM_KINDS] = {
    [SIM_OPEN] = F_DATA,
    [SIM_OPEN_REFUSED] = F_DATA,
    [SIM_OPEN_FOREIGN] = F_DATA,
    [SIM_CLOSE] = F_LINE | F_ERROR,
    [SIM_SERIAL_SET] = F_LOW_LATENCY | F_ERROR,
    [SIM_BAUD_REFUSED] = F_RATES,
    [SIM_BAUD_SUBSTITUTED] = F_RATES,
    [SIM_BAUD_SILENT] = F_RATES,
    [SIM_WRITE] = F_NS,
    [SIM_WRITE_LIMITED] = F_COUNT | F_TAKEN,
    [SIM_WRITE_HELD] = F_COUNT,
    [SIM_READ] = F_COUNT,
    [SIM_ASK] = F_CALL | F_COUNT | F_NS,
    [SIM_ANSWER] = F_ERROR,
    [SIM_TAP_OPEN] = F_NS,
    [SIM_TAP_TX] = F_NS | F_DATA,
    [SIM_TAP_RX] = F_NS | F_DATA,
    [SIM_TAP_FLUSH] = F_NS | F_DATA,
    [SIM_TAP_FAIL] = F_NS | F_CALL | F_ERROR,
    [SIM_TAP_EOF] = F_NS,
    [SIM_TAP_LINE] = F_NS | F_LINE,
    [SIM_TAP_CLOSE] = F_NS,
    [SIM_TAP_SERIAL] = F_NS | F_LOW_LATENCY | F_ERROR,
};

/* The fields that are plain numbers, copied as they are. */
static const struct {
    unsigned flag;
    size_t offset;
    size_t size;
} NUMBERS[] = {
    {F_NS, offsetof(struct sim_message, ns), sizeof(int64_t)},
    {F_COUNT, offsetof(struct sim_message, count), sizeof(uint64_t)},
    {F_TAKEN, offsetof(struct sim_message, taken), sizeof(uint64_t)},
    {F_RATES, offsetof(struct sim_message, asked_rate), sizeof(uint32_t)},
    {F_RATES, offsetof(struct sim_message, rate), sizeof(uint32_t)},
    {F_ERROR, offsetof(struct sim_message, error), sizeof(int)},
    {F_LINE, offsetof(struct sim_message, line), sizeof(struct sim_line)},
};
#define NUMBER_COUNT (sizeof NUMBERS / sizeof NUMBERS[0])

_Static_assert(1 + 8 + 8 + 8 + 4 + 4 + sizeof(int) + sizeof(struct sim_line) + 1 + 1 + 2 +
                       SIM_DATA_MAX <=
                   SIM_MESSAGE_MAX,
               "SIM_MESSAGE_MAX holds every field");

size_t sim_message_encode(const struct sim_message *message, unsigned char out[SIM_MESSAGE_MAX])
{
    const unsigned carries = CARRIES[message->kind];
    unsigned char *at = out;
    *at++ = (unsigned char)message->kind;
    for (size_t i = 0; i < NUMBER_COUNT; ++i)
        if ((carries & NUMBERS[i].flag) != 0) {
            memcpy(at, (const char *)message + NUMBERS[i].offset, NUMBERS[i].size);
            at += NUMBERS[i].size;
        }
    if ((carries & F_LOW_LATENCY) != 0)
        *at++ = message->low_latency ? 1 : 0;
    if ((carries & F_CALL) != 0)
        *at++ = (unsigned char)message->call;
    if ((carries & F_DATA) != 0) {
        uint16_t size = message->data_size < SIM_DATA_MAX ? (uint16_t)message->data_size
                                                          : (uint16_t)SIM_DATA_MAX;
        memcpy(at, &size, sizeof size);
        at += sizeof size;
        if (size > 0)
            memcpy(at, message->data, size);
        at += size;
    }
    return (size_t)(at - out);
}

/* Takes count bytes off the front of the datagram; false when fewer are left. */
static bool take(const unsigned char **at, const unsigned char *end, void *out, size_t count)
{
    if ((size_t)(end - *at) < count)
        return false;
    memcpy(out, *at, count);
    *at += count;
    return true;
}

static bool decode_message(const unsigned char *in, size_t size, struct sim_message *message)
{
    const unsigned char *at = in + 1;
    const unsigned char *end = in + size;
    const unsigned carries = CARRIES[in[0]];
    for (size_t i = 0; i < NUMBER_COUNT; ++i)
        if ((carries & NUMBERS[i].flag) != 0 &&
            !take(&at, end, (char *)message + NUMBERS[i].offset, NUMBERS[i].size))
            return false;
    unsigned char byte = 0;
    if ((carries & F_LOW_LATENCY) != 0) {
        if (!take(&at, end, &byte, 1) || byte > 1)
            return false;
        message->low_latency = byte == 1;
    }
    if ((carries & F_CALL) != 0) {
        if (!take(&at, end, &byte, 1) || byte > SIM_CALL_DRAIN)
            return false;
        message->call = (enum sim_call)byte;
    }
    uint16_t data_size = 0;
    if ((carries & F_DATA) != 0) {
        if (!take(&at, end, &data_size, sizeof data_size) || data_size > SIM_DATA_MAX ||
            (size_t)(end - at) < data_size)
            return false;
        message->data = at;
        message->data_size = data_size;
        at += data_size;
    }
    return at == end;
}

bool sim_message_decode(const unsigned char *in, size_t size, struct sim_message *message)
{
    memset(message, 0, sizeof *message);
    if (size == 0 || in[0] == SIM_UNREADABLE || in[0] >= SIM_KINDS ||
        !decode_message(in, size, message)) {
        memset(message, 0, sizeof *message);
        return false;
    }
    message->kind = (enum sim_kind)in[0];
    return true;
}

const char *sim_call_name(enum sim_call call)
{
    static const char *const NAMES[] = {
        [SIM_CALL_WRITE] = "write", [SIM_CALL_READ] = "read",   [SIM_CALL_SETTINGS] = "settings",
        [SIM_CALL_FLUSH] = "flush", [SIM_CALL_DRAIN] = "drain",
    };
    return (unsigned)call <= SIM_CALL_DRAIN ? NAMES[call] : "call";
}
