/*
 * Loopback ALSA sequencer for Wine's winmm, test bench only (never shipped).
 *
 * Wine's MIDI driver (winealsa.drv) talks to the ALSA sequencer. A machine without
 * /dev/snd/seq has none, so Wine lists no MIDI devices. Preloaded into Wine's
 * processes (LD_PRELOAD), this library defines the sequencer calls that driver makes
 * and answers them from an in-memory sequencer holding one hardware-like client with
 * the ports named in the environment. Every other ALSA call (PCM, snd_midi_event_*)
 * still goes to the real libasound.
 *
 * Environment, read once per process at the first snd_seq_open:
 *   KAVO_LOOPBACK_CLIENT  the client's name (default "Loopback"). Wine names a device
 *                         "<client> - <port>" while that fits in 31 bytes of UTF-8,
 *                         else by the port name alone, cut to 31 bytes.
 *   KAVO_LOOPBACK_IN      comma-separated names of the ports Wine reads from: its
 *                         MIDI-in devices, in this order. UTF-8; at most 63 bytes each
 *                         (longer names are cut on a character boundary, as the
 *                         kernel keeps 64 bytes).
 *   KAVO_LOOPBACK_OUT     the same for the ports Wine writes to: its MIDI-out devices.
 *   KAVO_LOOPBACK_FEED    path of a FIFO (made if missing) carrying what the inputs
 *                         play. Opened when a process first connects to an input, and
 *                         kept open (read and write) until the process ends, so a
 *                         writer never sees end-of-file trouble and a writer that
 *                         opens it without blocking fails while no program listens.
 *                         One line per message or burst:
 *                             <input index> <hex bytes>
 *                         e.g. "0 90 3C 64" or "1 F07E7F0901F7" (blanks between bytes
 *                         optional; lines starting with '#' are ignored). Each input
 *                         is a MIDI cable: running status holds across lines, a
 *                         system exclusive message may span lines and is passed on in
 *                         chunks of KAVO_LOOPBACK_SYSEX_CHUNK bytes (default 256, as
 *                         ALSA's MIDI ports do), a status byte inside it drops its
 *                         unsent part, and real-time bytes pass through anywhere.
 *                         What an input plays while nobody is connected is lost.
 *   KAVO_LOOPBACK_STATE   path of a file rewritten (whole, by rename) whenever a
 *                         subscription to a loopback port comes or goes:
 *                             in=<count>,<count>,...   per input, in order
 *                             out=<count>,<count>,...  per output
 *                         a count being how many subscriptions of this process's
 *                         clients reach that port. Wine subscribes when it opens a
 *                         device and unsubscribes when it closes it, so these are the
 *                         devices' open counts.
 *   KAVO_LOOPBACK_RECORD  path of a file that gets one line per message sent to an
 *                         output, appended with one write and no buffering so that a
 *                         test can read it while the program runs:
 *                             <microseconds, CLOCK_MONOTONIC> <output index> <HEX BYTES>
 *                         e.g. "81234567890 0 90 3C 64". A system exclusive event is
 *                         written as it came (Wine sends whole messages); an event
 *                         that has no MIDI bytes is written as "? <type number>".
 *
 * Ports: the client is number 20 (a card's place); inputs are ports 0..n-1 and
 * outputs follow. Each process that opens the sequencer is a client of its own from
 * 128 up; those are not listed to anybody. Events reach a client only over its
 * subscriptions (snd_seq_connect_from / snd_seq_connect_to).
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define LB_EXPORT __attribute__((visibility("default")))

enum { LB_CLIENT = 20, LB_FIRST_APP_CLIENT = 128, LB_NAME = 64, LB_MAX_OWN_PORTS = 64, LB_MAX_SUBS = 256 };

/* ---- configuration ------------------------------------------------------------ */

struct lb_config {
    char client_name[LB_NAME];
    int n_in, n_out;
    char (*names)[LB_NAME]; /* inputs first, then outputs: index == port number */
    char *feed_path;
    char *record_path;
    char *state_path;
    size_t sysex_chunk;
};

static struct lb_config cfg;
static pthread_once_t cfg_once = PTHREAD_ONCE_INIT;

/* Copies at most LB_NAME - 1 bytes, never ending inside a UTF-8 sequence. */
static void copy_name(char *dst, const char *src, size_t len) {
    if (len > LB_NAME - 1) {
        len = LB_NAME - 1;
        while (len > 0 && ((unsigned char)src[len] & 0xC0) == 0x80) --len;
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
}

static int count_names(const char *list) {
    if (!list || !*list) return 0;
    int n = 1;
    for (const char *p = list; *p; ++p) n += *p == ',';
    return n;
}

static void split_names(const char *list, char (*out)[LB_NAME]) {
    if (!list || !*list) return;
    for (;;) {
        const char *end = strchr(list, ',');
        size_t len = end ? (size_t)(end - list) : strlen(list);
        copy_name(*out++, list, len);
        if (!end) break;
        list = end + 1;
    }
}

static void load_config(void) {
    const char *client = getenv("KAVO_LOOPBACK_CLIENT");
    const char *in = getenv("KAVO_LOOPBACK_IN");
    const char *out = getenv("KAVO_LOOPBACK_OUT");
    copy_name(cfg.client_name, client ? client : "Loopback", strlen(client ? client : "Loopback"));
    cfg.n_in = count_names(in);
    cfg.n_out = count_names(out);
    if (cfg.n_in + cfg.n_out > 0) {
        cfg.names = calloc((size_t)(cfg.n_in + cfg.n_out), LB_NAME);
        if (!cfg.names) {
            cfg.n_in = cfg.n_out = 0;
        } else {
            split_names(in, cfg.names);
            split_names(out, cfg.names + cfg.n_in);
        }
    }
    const char *feed = getenv("KAVO_LOOPBACK_FEED");
    const char *record = getenv("KAVO_LOOPBACK_RECORD");
    cfg.feed_path = feed && *feed ? strdup(feed) : NULL;
    cfg.record_path = record && *record ? strdup(record) : NULL;
    const char *state = getenv("KAVO_LOOPBACK_STATE");
    cfg.state_path = state && *state ? strdup(state) : NULL;
    const char *chunk = getenv("KAVO_LOOPBACK_SYSEX_CHUNK");
    long c = chunk ? strtol(chunk, NULL, 10) : 0;
    cfg.sysex_chunk = c >= 2 ? (size_t)c : 256;
}

static int is_input_port(int port) { return port >= 0 && port < cfg.n_in; }
static int is_output_port(int port) { return port >= cfg.n_in && port < cfg.n_in + cfg.n_out; }

/* ---- clients ------------------------------------------------------------------ */

struct lb_event_node {
    struct lb_event_node *next;
    snd_seq_event_t ev;
    unsigned char data[]; /* a system exclusive event's bytes; ev.data.ext.ptr points here */
};

struct lb_sub {
    int own_port;
    int lb_port;
};

struct _snd_seq {
    struct _snd_seq *next_open;
    int client;
    int nonblock;
    int efd; /* readable while events wait */
    char name[LB_NAME];
    int own_ports[LB_MAX_OWN_PORTS]; /* 1 where a port exists */
    struct lb_sub subs[LB_MAX_SUBS];
    int n_subs;
    struct lb_event_node *head, *tail;
    int pending;
    struct lb_event_node *handed_out; /* valid until the next snd_seq_event_input */
};

struct _snd_seq_client_info {
    int client;
};

struct _snd_seq_port_info {
    int client;
    int port;
    snd_seq_addr_t addr;
};

/* One lock for the whole sequencer: the traffic is a test's, never heavy. */
static pthread_mutex_t lb_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t lb_arrived = PTHREAD_COND_INITIALIZER;
static struct _snd_seq *open_clients;
static int next_client = LB_FIRST_APP_CLIENT;

static void deliver_locked(struct _snd_seq *seq, const snd_seq_event_t *ev, const unsigned char *ext, size_t ext_len,
                           int own_port) {
    struct lb_event_node *n = malloc(sizeof *n + ext_len);
    if (!n) return;
    n->next = NULL;
    n->ev = *ev;
    n->ev.dest.client = (unsigned char)seq->client;
    n->ev.dest.port = (unsigned char)own_port;
    if (ext) {
        memcpy(n->data, ext, ext_len);
        n->ev.data.ext.len = (unsigned int)ext_len;
        n->ev.data.ext.ptr = n->data;
    }
    if (seq->tail)
        seq->tail->next = n;
    else
        seq->head = n;
    seq->tail = n;
    if (seq->pending++ == 0) {
        uint64_t one = 1;
        ssize_t w = write(seq->efd, &one, sizeof one);
        (void)w;
    }
    pthread_cond_broadcast(&lb_arrived);
}

/* Hands an event from a loopback input to every client subscribed to that input. */
static void route_input_locked(int lb_port, snd_seq_event_t *ev, const unsigned char *ext, size_t ext_len) {
    ev->source.client = LB_CLIENT;
    ev->source.port = (unsigned char)lb_port;
    ev->queue = SND_SEQ_QUEUE_DIRECT;
    for (struct _snd_seq *s = open_clients; s; s = s->next_open)
        for (int i = 0; i < s->n_subs; ++i)
            if (s->subs[i].lb_port == lb_port && is_input_port(lb_port)) deliver_locked(s, ev, ext, ext_len, s->subs[i].own_port);
}

/* ---- input parsing: MIDI bytes to events, as ALSA's encoder does ----------------- */

struct lb_parser {
    unsigned char status; /* running status, or the system common message under way */
    unsigned char data[2];
    int have;
    int in_sysex;
    unsigned char *sysex;
    size_t sysex_len;
};

static struct lb_parser *parsers; /* one per input */

static int data_bytes(unsigned char status) {
    switch (status & 0xF0) {
        case 0xC0:
        case 0xD0:
            return 1;
        case 0xF0:
            return status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0;
        default:
            return 2;
    }
}

static void emit_short(int port, unsigned char status, const unsigned char *d) {
    snd_seq_event_t ev;
    memset(&ev, 0, sizeof ev);
    unsigned char ch = status & 0x0F;
    switch (status & 0xF0) {
        case 0x80: snd_seq_ev_set_noteoff(&ev, ch, d[0], d[1]); break;
        case 0x90: snd_seq_ev_set_noteon(&ev, ch, d[0], d[1]); break;
        case 0xA0: snd_seq_ev_set_keypress(&ev, ch, d[0], d[1]); break;
        case 0xB0: snd_seq_ev_set_controller(&ev, ch, d[0], d[1]); break;
        case 0xC0: snd_seq_ev_set_pgmchange(&ev, ch, d[0]); break;
        case 0xD0: snd_seq_ev_set_chanpress(&ev, ch, d[0]); break;
        case 0xE0: snd_seq_ev_set_pitchbend(&ev, ch, ((d[1] << 7) | d[0]) - 0x2000); break;
        default:
            switch (status) {
                case 0xF1: ev.type = SND_SEQ_EVENT_QFRAME; ev.data.control.value = d[0]; break;
                case 0xF2: ev.type = SND_SEQ_EVENT_SONGPOS; ev.data.control.value = d[0] | (d[1] << 7); break;
                case 0xF3: ev.type = SND_SEQ_EVENT_SONGSEL; ev.data.control.value = d[0]; break;
                case 0xF6: ev.type = SND_SEQ_EVENT_TUNE_REQUEST; break;
                case 0xF8: ev.type = SND_SEQ_EVENT_CLOCK; break;
                case 0xFA: ev.type = SND_SEQ_EVENT_START; break;
                case 0xFB: ev.type = SND_SEQ_EVENT_CONTINUE; break;
                case 0xFC: ev.type = SND_SEQ_EVENT_STOP; break;
                case 0xFE: ev.type = SND_SEQ_EVENT_SENSING; break;
                case 0xFF: ev.type = SND_SEQ_EVENT_RESET; break;
                default: return; /* F4, F5, F9, FD: undefined, ALSA drops them too */
            }
    }
    route_input_locked(port, &ev, NULL, 0);
}

static void emit_sysex(int port, struct lb_parser *p) {
    snd_seq_event_t ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SND_SEQ_EVENT_SYSEX;
    ev.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    route_input_locked(port, &ev, p->sysex, p->sysex_len);
    p->sysex_len = 0;
}

static void parse_byte(int port, unsigned char b) {
    struct lb_parser *p = &parsers[port];
    if (b >= 0xF8) {
        emit_short(port, b, p->data);
        return;
    }
    if (p->in_sysex) {
        if (b < 0x80 || b == 0xF7) {
            p->sysex[p->sysex_len++] = b;
            if (b == 0xF7) p->in_sysex = 0;
            if (b == 0xF7 || p->sysex_len == cfg.sysex_chunk) emit_sysex(port, p);
            return;
        }
        p->in_sysex = 0;
        p->sysex_len = 0;
    }
    if (b == 0xF0) {
        p->in_sysex = 1;
        p->status = 0;
        p->sysex[p->sysex_len++] = b;
        return;
    }
    if (b & 0x80) {
        p->status = b == 0xF7 ? 0 : b;
        p->have = 0;
        if (p->status && data_bytes(b) == 0) {
            emit_short(port, b, p->data);
            p->status = 0;
        }
        return;
    }
    if (!p->status) return; /* a data byte without a status: lost, as on a cable */
    p->data[p->have++] = b;
    if (p->have == data_bytes(p->status)) {
        emit_short(port, p->status, p->data);
        p->have = 0;
        if (p->status >= 0xF0) p->status = 0; /* system common messages have no running status */
    }
}

static int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = tolower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static void feed_line(char *line) {
    char *p = line;
    while (isspace((unsigned char)*p)) ++p;
    if (!*p || *p == '#') return;
    char *end;
    long port = strtol(p, &end, 10);
    if (end == p || port < 0 || port >= cfg.n_in) {
        fprintf(stderr, "kavo-loopback: feed line for no input: %s\n", line);
        return;
    }
    int hi = -1;
    for (p = end; *p; ++p) {
        if (isspace((unsigned char)*p)) continue;
        int v = hex_value((unsigned char)*p);
        if (v < 0) {
            fprintf(stderr, "kavo-loopback: not a hex digit in feed line: %s\n", line);
            return;
        }
        if (hi < 0) {
            hi = v;
        } else {
            parse_byte((int)port, (unsigned char)(hi << 4 | v));
            hi = -1;
        }
    }
}

static void *feed_thread(void *arg) {
    int fd = (int)(intptr_t)arg;
    size_t cap = 4096, len = 0;
    char *buf = malloc(cap);
    if (!buf) return NULL;
    for (;;) {
        if (len + 1024 > cap) {
            char *grown = realloc(buf, cap * 2);
            if (!grown) {
                len = 0; /* a line that does not fit is dropped */
                continue;
            }
            buf = grown;
            cap *= 2;
        }
        ssize_t n = read(fd, buf + len, cap - len - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        len += (size_t)n;
        char *start = buf, *nl;
        pthread_mutex_lock(&lb_lock);
        while ((nl = memchr(start, '\n', len - (size_t)(start - buf))) != NULL) {
            *nl = '\0';
            feed_line(start);
            start = nl + 1;
        }
        pthread_mutex_unlock(&lb_lock);
        len -= (size_t)(start - buf);
        memmove(buf, start, len);
    }
    free(buf);
    return NULL;
}

/* Opens the feed at the first subscription to an input, synchronously, so that a
   program's midiInOpen has returned only once its feed can be written. */
static void start_feed_locked(void) {
    static int started;
    if (started || !cfg.feed_path || cfg.n_in == 0) return;
    started = 1;
    parsers = calloc((size_t)cfg.n_in, sizeof *parsers);
    if (!parsers) return;
    for (int i = 0; i < cfg.n_in; ++i)
        if (!(parsers[i].sysex = malloc(cfg.sysex_chunk))) return;
    if (mkfifo(cfg.feed_path, 0600) != 0 && errno != EEXIST) {
        fprintf(stderr, "kavo-loopback: cannot make the feed %s: %s\n", cfg.feed_path, strerror(errno));
        return;
    }
    int fd = open(cfg.feed_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "kavo-loopback: cannot open the feed %s: %s\n", cfg.feed_path, strerror(errno));
        return;
    }
    pthread_t t;
    if (pthread_create(&t, NULL, feed_thread, (void *)(intptr_t)fd) != 0) {
        close(fd);
        return;
    }
    pthread_detach(t);
}

/* ---- output recording: events to MIDI bytes ---------------------------------------- */

static size_t event_bytes(const snd_seq_event_t *ev, unsigned char *b) {
    unsigned char ch = ev->data.note.channel & 0x0F;
    int v;
    switch (ev->type) {
        case SND_SEQ_EVENT_NOTEOFF: b[0] = 0x80 | ch; b[1] = ev->data.note.note; b[2] = ev->data.note.velocity; return 3;
        case SND_SEQ_EVENT_NOTEON: b[0] = 0x90 | ch; b[1] = ev->data.note.note; b[2] = ev->data.note.velocity; return 3;
        case SND_SEQ_EVENT_KEYPRESS: b[0] = 0xA0 | ch; b[1] = ev->data.note.note; b[2] = ev->data.note.velocity; return 3;
        case SND_SEQ_EVENT_CONTROLLER:
            b[0] = 0xB0 | (ev->data.control.channel & 0x0F);
            b[1] = ev->data.control.param & 0x7F;
            b[2] = ev->data.control.value & 0x7F;
            return 3;
        case SND_SEQ_EVENT_PGMCHANGE: b[0] = 0xC0 | (ev->data.control.channel & 0x0F); b[1] = ev->data.control.value & 0x7F; return 2;
        case SND_SEQ_EVENT_CHANPRESS: b[0] = 0xD0 | (ev->data.control.channel & 0x0F); b[1] = ev->data.control.value & 0x7F; return 2;
        case SND_SEQ_EVENT_PITCHBEND:
            v = ev->data.control.value + 0x2000;
            b[0] = 0xE0 | (ev->data.control.channel & 0x0F);
            b[1] = v & 0x7F;
            b[2] = (v >> 7) & 0x7F;
            return 3;
        case SND_SEQ_EVENT_QFRAME: b[0] = 0xF1; b[1] = ev->data.control.value & 0x7F; return 2;
        case SND_SEQ_EVENT_SONGPOS:
            b[0] = 0xF2;
            b[1] = ev->data.control.value & 0x7F;
            b[2] = (ev->data.control.value >> 7) & 0x7F;
            return 3;
        case SND_SEQ_EVENT_SONGSEL: b[0] = 0xF3; b[1] = ev->data.control.value & 0x7F; return 2;
        case SND_SEQ_EVENT_TUNE_REQUEST: b[0] = 0xF6; return 1;
        case SND_SEQ_EVENT_CLOCK: b[0] = 0xF8; return 1;
        case SND_SEQ_EVENT_START: b[0] = 0xFA; return 1;
        case SND_SEQ_EVENT_CONTINUE: b[0] = 0xFB; return 1;
        case SND_SEQ_EVENT_STOP: b[0] = 0xFC; return 1;
        case SND_SEQ_EVENT_SENSING: b[0] = 0xFE; return 1;
        case SND_SEQ_EVENT_RESET: b[0] = 0xFF; return 1;
        default: return 0;
    }
}

static void record(int lb_port, const snd_seq_event_t *ev) {
    static int fd = -2;
    if (fd == -2) {
        fd = cfg.record_path ? open(cfg.record_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
        if (cfg.record_path && fd < 0)
            fprintf(stderr, "kavo-loopback: cannot open the record %s: %s\n", cfg.record_path, strerror(errno));
    }
    if (fd < 0) return;
    unsigned char fixed[3];
    const unsigned char *bytes = fixed;
    size_t n;
    int variable = snd_seq_ev_is_variable(ev);
    if (ev->type == SND_SEQ_EVENT_SYSEX && variable) {
        bytes = ev->data.ext.ptr;
        n = ev->data.ext.len;
    } else {
        n = event_bytes(ev, fixed);
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    size_t cap = 64 + 3 * n;
    char *line = malloc(cap);
    if (!line) return;
    int len = snprintf(line, cap, "%llu %d", (unsigned long long)now.tv_sec * 1000000ull + (unsigned long long)now.tv_nsec / 1000,
                       lb_port - cfg.n_in);
    if (n == 0) len += snprintf(line + len, cap - (size_t)len, " ? %d", ev->type);
    for (size_t i = 0; i < n; ++i) len += snprintf(line + len, cap - (size_t)len, " %02X", bytes[i]);
    line[len++] = '\n';
    ssize_t w = write(fd, line, (size_t)len);
    (void)w;
    free(line);
}

/* ---- open counts ------------------------------------------------------------------ */

static void append_counts(char *buf, size_t cap, size_t *len, const char *key, int first, int n) {
    *len += (size_t)snprintf(buf + *len, cap - *len, "%s=", key);
    for (int port = first; port < first + n; ++port) {
        int count = 0;
        for (struct _snd_seq *s = open_clients; s; s = s->next_open)
            for (int i = 0; i < s->n_subs; ++i) count += s->subs[i].lb_port == port;
        *len += (size_t)snprintf(buf + *len, cap - *len, "%s%d", port > first ? "," : "", count);
    }
    *len += (size_t)snprintf(buf + *len, cap - *len, "\n");
}

/* Rewrites the state file: written beside it and renamed over it, so that a reader
   sees the counts before or after a change, never half of them. */
static void write_state_locked(void) {
    if (!cfg.state_path) return;
    size_t cap = 32 + 12 * (size_t)(cfg.n_in + cfg.n_out), len = 0;
    char *text = malloc(cap);
    size_t tmp_len = strlen(cfg.state_path) + 32;
    char *tmp = malloc(tmp_len);
    if (text && tmp) {
        append_counts(text, cap, &len, "in", 0, cfg.n_in);
        append_counts(text, cap, &len, "out", cfg.n_in, cfg.n_out);
        snprintf(tmp, tmp_len, "%s.%d", cfg.state_path, (int)getpid());
        int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, text, len) != (ssize_t)len || close(fd) != 0 || rename(tmp, cfg.state_path) != 0) {
            fprintf(stderr, "kavo-loopback: cannot write the state %s: %s\n", cfg.state_path, strerror(errno));
            unlink(tmp);
        }
    }
    free(text);
    free(tmp);
}

/* ---- the sequencer API ------------------------------------------------------------ */

LB_EXPORT int snd_seq_open(snd_seq_t **handle, const char *name, int streams, int mode) {
    (void)name;
    (void)streams;
    if (!handle) return -EINVAL;
    pthread_once(&cfg_once, load_config);
    struct _snd_seq *s = calloc(1, sizeof *s);
    if (!s) return -ENOMEM;
    s->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->efd < 0) {
        free(s);
        return -errno;
    }
    s->nonblock = (mode & SND_SEQ_NONBLOCK) != 0;
    pthread_mutex_lock(&lb_lock);
    s->client = next_client++;
    snprintf(s->name, sizeof s->name, "Client-%d", s->client);
    s->next_open = open_clients;
    open_clients = s;
    pthread_mutex_unlock(&lb_lock);
    *handle = s;
    return 0;
}

LB_EXPORT int snd_seq_close(snd_seq_t *seq) {
    if (!seq) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    for (struct _snd_seq **p = &open_clients; *p; p = &(*p)->next_open)
        if (*p == seq) {
            *p = seq->next_open;
            break;
        }
    if (seq->n_subs > 0) write_state_locked(); /* its subscriptions end with it */
    pthread_mutex_unlock(&lb_lock);
    while (seq->head) {
        struct lb_event_node *n = seq->head;
        seq->head = n->next;
        free(n);
    }
    free(seq->handed_out);
    close(seq->efd);
    free(seq);
    return 0;
}

LB_EXPORT int snd_seq_set_client_name(snd_seq_t *seq, const char *name) {
    if (!seq || !name) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    copy_name(seq->name, name, strlen(name));
    pthread_mutex_unlock(&lb_lock);
    return 0;
}

LB_EXPORT int snd_seq_create_simple_port(snd_seq_t *seq, const char *name, unsigned int caps, unsigned int type) {
    (void)name;
    (void)caps;
    (void)type;
    if (!seq) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    int port = -ENOMEM;
    for (int i = 0; i < LB_MAX_OWN_PORTS; ++i)
        if (!seq->own_ports[i]) {
            seq->own_ports[i] = 1;
            port = i;
            break;
        }
    pthread_mutex_unlock(&lb_lock);
    return port;
}

static void drop_subs_locked(snd_seq_t *seq, int own_port, int lb_port) {
    int kept = 0;
    for (int i = 0; i < seq->n_subs; ++i) {
        const struct lb_sub *sub = &seq->subs[i];
        if (sub->own_port == own_port && (lb_port < 0 || sub->lb_port == lb_port)) continue;
        seq->subs[kept++] = *sub;
    }
    seq->n_subs = kept;
}

LB_EXPORT int snd_seq_delete_simple_port(snd_seq_t *seq, int port) {
    if (!seq || port < 0 || port >= LB_MAX_OWN_PORTS) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    int had = seq->own_ports[port];
    seq->own_ports[port] = 0;
    int before = seq->n_subs;
    drop_subs_locked(seq, port, -1);
    if (seq->n_subs < before) write_state_locked();
    pthread_mutex_unlock(&lb_lock);
    return had ? 0 : -ENOENT;
}

static int subscribe(snd_seq_t *seq, int own_port, int client, int lb_port, int input) {
    if (!seq || own_port < 0 || own_port >= LB_MAX_OWN_PORTS) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    int rc = 0;
    if (!seq->own_ports[own_port] || client != LB_CLIENT || !(input ? is_input_port(lb_port) : is_output_port(lb_port))) {
        rc = -ENOENT;
    } else {
        for (int i = 0; i < seq->n_subs; ++i)
            if (seq->subs[i].own_port == own_port && seq->subs[i].lb_port == lb_port) rc = -EBUSY;
        if (rc == 0 && seq->n_subs == LB_MAX_SUBS) rc = -ENOMEM;
        if (rc == 0) {
            seq->subs[seq->n_subs].own_port = own_port;
            seq->subs[seq->n_subs].lb_port = lb_port;
            ++seq->n_subs;
            write_state_locked();
            if (input) start_feed_locked();
        }
    }
    pthread_mutex_unlock(&lb_lock);
    return rc;
}

LB_EXPORT int snd_seq_connect_from(snd_seq_t *seq, int my_port, int src_client, int src_port) {
    return subscribe(seq, my_port, src_client, src_port, 1);
}

LB_EXPORT int snd_seq_connect_to(snd_seq_t *seq, int my_port, int dest_client, int dest_port) {
    return subscribe(seq, my_port, dest_client, dest_port, 0);
}

LB_EXPORT int snd_seq_disconnect_from(snd_seq_t *seq, int my_port, int src_client, int src_port) {
    if (!seq) return -EINVAL;
    if (src_client != LB_CLIENT || !is_input_port(src_port)) return -ENOENT;
    pthread_mutex_lock(&lb_lock);
    int before = seq->n_subs;
    drop_subs_locked(seq, my_port, src_port);
    int rc = seq->n_subs < before ? 0 : -ENOENT;
    if (rc == 0) write_state_locked();
    pthread_mutex_unlock(&lb_lock);
    return rc;
}

LB_EXPORT int snd_seq_event_output_direct(snd_seq_t *seq, snd_seq_event_t *ev) {
    if (!seq || !ev) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    int sent = 0;
    if (ev->dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS) {
        for (int i = 0; i < seq->n_subs; ++i)
            if (seq->subs[i].own_port == ev->source.port && is_output_port(seq->subs[i].lb_port)) {
                record(seq->subs[i].lb_port, ev);
                sent = 1;
            }
    } else if (ev->dest.client == LB_CLIENT && is_output_port(ev->dest.port)) {
        record(ev->dest.port, ev);
        sent = 1;
    }
    pthread_mutex_unlock(&lb_lock);
    (void)sent; /* events to nobody vanish, as the kernel's do */
    return (int)sizeof *ev + (snd_seq_ev_is_variable(ev) ? (int)ev->data.ext.len : 0);
}

LB_EXPORT int snd_seq_event_input(snd_seq_t *seq, snd_seq_event_t **ev) {
    if (!seq || !ev) return -EINVAL;
    *ev = NULL;
    pthread_mutex_lock(&lb_lock);
    free(seq->handed_out);
    seq->handed_out = NULL;
    while (!seq->head && !seq->nonblock) pthread_cond_wait(&lb_arrived, &lb_lock);
    int rc;
    if (!seq->head) {
        rc = -EAGAIN;
    } else {
        struct lb_event_node *n = seq->head;
        seq->head = n->next;
        if (!seq->head) seq->tail = NULL;
        if (--seq->pending == 0) {
            uint64_t count;
            ssize_t r = read(seq->efd, &count, sizeof count);
            (void)r;
        }
        seq->handed_out = n;
        *ev = &n->ev;
        rc = seq->pending; /* the kernel answers with what is left to read */
    }
    pthread_mutex_unlock(&lb_lock);
    return rc;
}

LB_EXPORT int snd_seq_event_input_pending(snd_seq_t *seq, int fetch_sequencer) {
    (void)fetch_sequencer;
    if (!seq) return -EINVAL;
    pthread_mutex_lock(&lb_lock);
    int n = seq->pending;
    pthread_mutex_unlock(&lb_lock);
    return n;
}

/* The event handed out lives until the next snd_seq_event_input, as in ALSA. */
LB_EXPORT int snd_seq_free_event(snd_seq_event_t *ev) {
    (void)ev;
    return 0;
}

LB_EXPORT int snd_seq_poll_descriptors_count(snd_seq_t *seq, short events) {
    (void)events;
    return seq ? 1 : 0;
}

LB_EXPORT int snd_seq_poll_descriptors(snd_seq_t *seq, struct pollfd *pfds, unsigned int space, short events) {
    if (!seq || !pfds || space < 1) return 0;
    pfds[0].fd = seq->efd;
    pfds[0].events = (short)(events & (POLLIN | POLLOUT));
    pfds[0].revents = 0;
    return 1;
}

LB_EXPORT size_t snd_seq_client_info_sizeof(void) { return sizeof(struct _snd_seq_client_info); }
LB_EXPORT void snd_seq_client_info_set_client(snd_seq_client_info_t *info, int client) { info->client = client; }
LB_EXPORT int snd_seq_client_info_get_client(const snd_seq_client_info_t *info) { return info->client; }
LB_EXPORT const char *snd_seq_client_info_get_name(snd_seq_client_info_t *info) {
    return info->client == LB_CLIENT ? cfg.client_name : "";
}
LB_EXPORT snd_seq_client_type_t snd_seq_client_info_get_type(const snd_seq_client_info_t *info) {
    return info->client == LB_CLIENT ? SND_SEQ_KERNEL_CLIENT : SND_SEQ_USER_CLIENT;
}

/* Only the loopback client is listed, and only while it has ports. */
LB_EXPORT int snd_seq_query_next_client(snd_seq_t *seq, snd_seq_client_info_t *info) {
    if (!seq || !info) return -EINVAL;
    if (info->client >= LB_CLIENT || cfg.n_in + cfg.n_out == 0) return -ENOENT;
    info->client = LB_CLIENT;
    return 0;
}

LB_EXPORT size_t snd_seq_port_info_sizeof(void) { return sizeof(struct _snd_seq_port_info); }
LB_EXPORT void snd_seq_port_info_set_client(snd_seq_port_info_t *info, int client) { info->client = client; }
LB_EXPORT void snd_seq_port_info_set_port(snd_seq_port_info_t *info, int port) { info->port = port; }
LB_EXPORT int snd_seq_port_info_get_port(const snd_seq_port_info_t *info) { return info->port; }

LB_EXPORT const snd_seq_addr_t *snd_seq_port_info_get_addr(const snd_seq_port_info_t *info) {
    /* The header gives a const info; the address is kept in it so that it lives as long. */
    struct _snd_seq_port_info *w = (struct _snd_seq_port_info *)info;
    w->addr.client = (unsigned char)info->client;
    w->addr.port = (unsigned char)info->port;
    return &w->addr;
}

LB_EXPORT unsigned int snd_seq_port_info_get_capability(const snd_seq_port_info_t *info) {
    if (info->client != LB_CLIENT) return 0;
    if (is_input_port(info->port)) return SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    if (is_output_port(info->port)) return SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    return 0;
}

LB_EXPORT unsigned int snd_seq_port_info_get_type(const snd_seq_port_info_t *info) {
    if (info->client != LB_CLIENT || !(is_input_port(info->port) || is_output_port(info->port))) return 0;
    return SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
}

LB_EXPORT const char *snd_seq_port_info_get_name(const snd_seq_port_info_t *info) {
    if (info->client != LB_CLIENT || !(is_input_port(info->port) || is_output_port(info->port))) return "";
    return cfg.names[info->port];
}

LB_EXPORT int snd_seq_query_next_port(snd_seq_t *seq, snd_seq_port_info_t *info) {
    if (!seq || !info) return -EINVAL;
    int next = info->port < 0 ? 0 : info->port + 1;
    if (info->client != LB_CLIENT || next >= cfg.n_in + cfg.n_out) return -ENOENT;
    info->port = next;
    return 0;
}
