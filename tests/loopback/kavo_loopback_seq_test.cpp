// The loopback sequencer driven the way Wine's MIDI driver drives it: enumeration,
// bytes fed into an input arriving as sequencer events, and events sent to an
// output landing in the record as MIDI bytes.
#include <alsa/asoundlib.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kClient = 20;
// 22 three-byte characters: 66 bytes, past what a port name keeps.
const std::string kLongName = "鍵盤とても長い名前の入力ポートです本当に長い";

std::string g_dir;

class LoopbackEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/kavo-loopback-test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        g_dir = tmpl;
        setenv("KAVO_LOOPBACK_CLIENT", "Loopback", 1);
        setenv("KAVO_LOOPBACK_IN", ("Keys A," + kLongName + ",Keys C").c_str(), 1);
        setenv("KAVO_LOOPBACK_OUT", "Synth A,Synth B", 1);
        setenv("KAVO_LOOPBACK_FEED", (g_dir + "/feed").c_str(), 1);
        setenv("KAVO_LOOPBACK_RECORD", (g_dir + "/record").c_str(), 1);
        setenv("KAVO_LOOPBACK_STATE", (g_dir + "/state").c_str(), 1);
    }
    void TearDown() override {
        unlink((g_dir + "/feed").c_str());
        unlink((g_dir + "/record").c_str());
        unlink((g_dir + "/state").c_str());
        rmdir(g_dir.c_str());
    }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

// Writes one feed line; the FIFO has a reader once an input has been connected.
void Feed(const std::string& line) {
    int fd = open((g_dir + "/feed").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << "nobody reads the feed";
    const std::string text = line + "\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
}

// A client as Wine opens it, with one port of its own.
struct Client {
    snd_seq_t* seq = nullptr;
    int port = -1;
    Client() {
        EXPECT_EQ(0, snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK));
        port = snd_seq_create_simple_port(seq, "own", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        EXPECT_GE(port, 0);
    }
    ~Client() { snd_seq_close(seq); }

    // Waits (a generous bound, only against a hang) until an event is there, then
    // takes everything queued: a feed line's events are queued together.
    std::vector<snd_seq_event_t> Take() {
        std::vector<snd_seq_event_t> got;
        pollfd pfd{};
        EXPECT_EQ(1, snd_seq_poll_descriptors_count(seq, POLLIN));
        EXPECT_EQ(1, snd_seq_poll_descriptors(seq, &pfd, 1, POLLIN));
        if (poll(&pfd, 1, 5000) != 1) return got;
        do {
            snd_seq_event_t* ev = nullptr;
            if (snd_seq_event_input(seq, &ev) < 0 || !ev) break;
            got.push_back(*ev);
            if (snd_seq_ev_is_variable(ev)) {
                // Keep the bytes: the event's memory is reused by the next input call.
                sysex.emplace_back(static_cast<unsigned char*>(ev->data.ext.ptr),
                                   static_cast<unsigned char*>(ev->data.ext.ptr) + ev->data.ext.len);
            }
        } while (snd_seq_event_input_pending(seq, 0) > 0);
        return got;
    }
    std::vector<std::vector<unsigned char>> sysex;
};

TEST(LoopbackSeq, EnumeratesOneClientWithTheConfiguredPortsAsWineAsksForThem) {
    Client c;
    snd_seq_client_info_t* cinfo = static_cast<snd_seq_client_info_t*>(calloc(1, snd_seq_client_info_sizeof()));
    snd_seq_port_info_t* pinfo = static_cast<snd_seq_port_info_t*>(calloc(1, snd_seq_port_info_sizeof()));
    struct Port {
        int client, port;
        unsigned cap;
        std::string name;
    };
    std::vector<Port> seen;
    std::vector<std::string> clients;
    snd_seq_client_info_set_client(cinfo, -1);
    while (snd_seq_query_next_client(c.seq, cinfo) >= 0) {
        clients.push_back(snd_seq_client_info_get_name(cinfo));
        snd_seq_port_info_set_client(pinfo, snd_seq_client_info_get_client(cinfo));
        snd_seq_port_info_set_port(pinfo, -1);
        while (snd_seq_query_next_port(c.seq, pinfo) >= 0) {
            const snd_seq_addr_t* a = snd_seq_port_info_get_addr(pinfo);
            EXPECT_EQ(snd_seq_port_info_get_port(pinfo), a->port);
            EXPECT_EQ(SND_SEQ_PORT_TYPE_MIDI_GENERIC, snd_seq_port_info_get_type(pinfo) & SND_SEQ_PORT_TYPE_MIDI_GENERIC);
            seen.push_back({a->client, a->port, snd_seq_port_info_get_capability(pinfo), snd_seq_port_info_get_name(pinfo)});
        }
    }
    free(cinfo);
    free(pinfo);

    ASSERT_EQ(std::vector<std::string>{"Loopback"}, clients) << "the opening client itself is not listed";
    const unsigned in = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    const unsigned out = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    // The long name is cut to 63 bytes, back to the last whole character: 21 of them.
    const std::string cut = kLongName.substr(0, 63);
    const Port want[] = {{kClient, 0, in, "Keys A"}, {kClient, 1, in, cut}, {kClient, 2, in, "Keys C"},
                         {kClient, 3, out, "Synth A"}, {kClient, 4, out, "Synth B"}};
    ASSERT_EQ(std::size(want), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(want[i].client, seen[i].client);
        EXPECT_EQ(want[i].port, seen[i].port);
        EXPECT_EQ(want[i].cap, seen[i].cap);
        EXPECT_EQ(want[i].name, seen[i].name);
    }
}

// What one feed line turns into, written as the MIDI message Wine would build from
// each event (see its handle_regular_event), so the table reads as MIDI.
std::string AsMidi(const snd_seq_event_t& ev) {
    char b[32];
    const unsigned ch = ev.data.control.channel;
    switch (ev.type) {
        case SND_SEQ_EVENT_NOTEON: snprintf(b, sizeof b, "9%X %02X %02X", ch, ev.data.note.note, ev.data.note.velocity); break;
        case SND_SEQ_EVENT_NOTEOFF: snprintf(b, sizeof b, "8%X %02X %02X", ch, ev.data.note.note, ev.data.note.velocity); break;
        case SND_SEQ_EVENT_KEYPRESS: snprintf(b, sizeof b, "A%X %02X %02X", ch, ev.data.note.note, ev.data.note.velocity); break;
        case SND_SEQ_EVENT_CONTROLLER: snprintf(b, sizeof b, "B%X %02X %02X", ch, ev.data.control.param, ev.data.control.value); break;
        case SND_SEQ_EVENT_PGMCHANGE: snprintf(b, sizeof b, "C%X %02X", ch, ev.data.control.value); break;
        case SND_SEQ_EVENT_CHANPRESS: snprintf(b, sizeof b, "D%X %02X", ch, ev.data.control.value); break;
        case SND_SEQ_EVENT_PITCHBEND: snprintf(b, sizeof b, "E%X bend %d", ch, ev.data.control.value); break;
        case SND_SEQ_EVENT_QFRAME: snprintf(b, sizeof b, "F1 %02X", ev.data.control.value); break;
        case SND_SEQ_EVENT_SONGPOS: snprintf(b, sizeof b, "F2 pos %d", ev.data.control.value); break;
        case SND_SEQ_EVENT_SONGSEL: snprintf(b, sizeof b, "F3 %02X", ev.data.control.value); break;
        case SND_SEQ_EVENT_TUNE_REQUEST: return "F6";
        case SND_SEQ_EVENT_CLOCK: return "F8";
        case SND_SEQ_EVENT_START: return "FA";
        case SND_SEQ_EVENT_CONTINUE: return "FB";
        case SND_SEQ_EVENT_STOP: return "FC";
        case SND_SEQ_EVENT_SENSING: return "FE";
        case SND_SEQ_EVENT_RESET: return "FF";
        case SND_SEQ_EVENT_SYSEX: snprintf(b, sizeof b, "sysex %u", ev.data.ext.len); break;
        default: snprintf(b, sizeof b, "type %d", ev.type); break;
    }
    return b;
}

TEST(LoopbackSeq, FedBytesArriveAsTheEventsOfACable) {
    Client c;
    ASSERT_EQ(0, snd_seq_connect_from(c.seq, c.port, kClient, 0));
    // Lines follow one another on the same cable: running status carries over.
    const struct {
        const char* line;
        std::vector<std::string> want;
    } cases[] = {
        {"0 90 3C 64", {"90 3C 64"}},
        {"0 3E 65 40 00", {"90 3E 65", "90 40 00"}},  // running status, within and across lines
        {"0 803C40", {"80 3C 40"}},                    // blanks between bytes optional
        {"0 A5 3C 10 BF 07 7F C2 05 D3 40", {"A5 3C 10", "BF 07 7F", "C2 05", "D3 40"}},
        {"0 E0 00 40 E1 00 00 E2 7F 7F", {"E0 bend 0", "E1 bend -8192", "E2 bend 8191"}},
        {"0 F1 23 F2 01 02 F3 05 F6", {"F1 23", "F2 pos 257", "F3 05", "F6"}},
        {"0 F8 FA FB FC FE FF", {"F8", "FA", "FB", "FC", "FE", "FF"}},
        {"0 90 F8 3C 64", {"F8", "90 3C 64"}},  // real time inside a message
        {"0 F2 01 02 03 04 90 3C 01", {"F2 pos 257", "90 3C 01"}},  // no running status after system common
        {"0 F4 3C 64 F5 90 3C 02", {"90 3C 02"}},  // undefined status bytes, and data without a status
        {"0 F0 01 F8 02 F7", {"F8", "sysex 4"}},
        {"0 F0 01 02 90 3C 03", {"90 3C 03"}},  // a status byte abandons the unfinished exclusive
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.line);
        Feed(k.line);
        std::vector<std::string> got;
        for (const snd_seq_event_t& ev : c.Take()) {
            EXPECT_EQ(kClient, ev.source.client);
            EXPECT_EQ(0, ev.source.port);
            EXPECT_EQ(c.port, ev.dest.port);
            got.push_back(AsMidi(ev));
        }
        EXPECT_EQ(k.want, got);
    }
    ASSERT_EQ(1u, c.sysex.size()) << "the abandoned exclusive is never passed on";
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 0x01, 0x02, 0xF7}), c.sysex[0]);
}

TEST(LoopbackSeq, ExclusiveMessagesArriveInChunksAcrossLinesWithTheirBytes) {
    Client c;
    ASSERT_EQ(0, snd_seq_connect_from(c.seq, c.port, kClient, 2));
    std::vector<unsigned char> msg{0xF0};
    for (int i = 0; i < 298; ++i) msg.push_back(static_cast<unsigned char>(i & 0x7F));
    msg.push_back(0xF7);
    // The first 200 bytes in one line, the rest in the next.
    std::string first = "2", second = "2";
    for (size_t i = 0; i < msg.size(); ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02X", msg[i]);
        (i < 200 ? first : second) += hex;
    }
    Feed(first);
    Feed(second);
    std::vector<unsigned> sizes;
    for (size_t total = 0; total < msg.size();) {
        const auto evs = c.Take();
        if (evs.empty()) break;
        for (const auto& ev : evs) {
            EXPECT_EQ(SND_SEQ_EVENT_SYSEX, ev.type);
            EXPECT_EQ(2, ev.source.port);
            sizes.push_back(ev.data.ext.len);
            total += ev.data.ext.len;
        }
    }
    std::vector<unsigned char> joined;
    for (const auto& part : c.sysex) joined.insert(joined.end(), part.begin(), part.end());
    EXPECT_EQ((std::vector<unsigned>{256, 44}), sizes);
    EXPECT_EQ(msg, joined);
}

TEST(LoopbackSeq, OnlySubscribedInputsReachAClient) {
    Client c;
    ASSERT_EQ(0, snd_seq_connect_from(c.seq, c.port, kClient, 0));
    EXPECT_EQ(-EBUSY, snd_seq_connect_from(c.seq, c.port, kClient, 0));
    EXPECT_GT(0, snd_seq_connect_from(c.seq, c.port, kClient, 3)) << "an output is no input";
    EXPECT_GT(0, snd_seq_connect_from(c.seq, c.port, 99, 0)) << "no such client";
    snd_seq_event_t* ev = nullptr;
    EXPECT_EQ(-EAGAIN, snd_seq_event_input(c.seq, &ev));

    Feed("1 90 3C 64");  // input 1: nobody listens
    Feed("0 90 3D 64");
    auto got = c.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x3D, got[0].data.note.note);

    ASSERT_EQ(0, snd_seq_disconnect_from(c.seq, c.port, kClient, 0));
    ASSERT_EQ(0, snd_seq_connect_from(c.seq, c.port, kClient, 2));
    Feed("0 90 3E 64");
    Feed("2 90 3F 64");
    got = c.Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x3F, got[0].data.note.note);
    EXPECT_EQ(2, got[0].source.port);
}

std::vector<std::string> RecordLines() {
    std::ifstream in(g_dir + "/record");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

TEST(LoopbackSeq, EventsSentToSubscribedOutputsAreRecordedAsMidiBytes) {
    Client c;
    const int other = snd_seq_create_simple_port(c.seq, "other", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_EQ(0, snd_seq_connect_to(c.seq, c.port, kClient, 4));
    ASSERT_EQ(0, snd_seq_connect_to(c.seq, other, kClient, 3));
    EXPECT_GT(0, snd_seq_connect_to(c.seq, c.port, kClient, 0)) << "an input is no output";
    const size_t before = RecordLines().size();

    unsigned char sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    const struct {
        void (*set)(snd_seq_event_t*, unsigned char*);
        const char* want;
    } cases[] = {
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_noteon(e, 1, 0x3C, 0x64); }, "91 3C 64"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_noteoff(e, 2, 0x3C, 0x00); }, "82 3C 00"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_keypress(e, 3, 0x3C, 0x11); }, "A3 3C 11"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_controller(e, 15, 0x78, 0x00); }, "BF 78 00"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_pgmchange(e, 4, 0x05); }, "C4 05"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_chanpress(e, 5, 0x40); }, "D5 40"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_pitchbend(e, 6, -8192); }, "E6 00 00"},
        {[](snd_seq_event_t* e, unsigned char*) { snd_seq_ev_set_pitchbend(e, 6, 8191); }, "E6 7F 7F"},
        {[](snd_seq_event_t* e, unsigned char* s) { snd_seq_ev_set_sysex(e, 6, s); }, "F0 7E 7F 09 01 F7"},
        {[](snd_seq_event_t* e, unsigned char*) { e->type = SND_SEQ_EVENT_CLOCK; }, "F8"},
        {[](snd_seq_event_t* e, unsigned char*) { e->type = SND_SEQ_EVENT_SONGPOS; e->data.control.value = 257; }, "F2 01 02"},
        {[](snd_seq_event_t* e, unsigned char*) { e->type = SND_SEQ_EVENT_ECHO; }, "? 50"},
    };
    for (const auto& k : cases) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_source(&ev, c.port);
        snd_seq_ev_set_subs(&ev);
        k.set(&ev, sysex);
        EXPECT_LT(0, snd_seq_event_output_direct(c.seq, &ev)) << k.want;
    }
    // The second port goes to output 0 ("Synth A"); one sent there marks the end.
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_source(&ev, other);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_noteon(&ev, 0, 1, 2);
    snd_seq_event_output_direct(c.seq, &ev);
    // A deleted port's subscriptions go with it.
    ASSERT_EQ(0, snd_seq_delete_simple_port(c.seq, other));
    snd_seq_event_output_direct(c.seq, &ev);

    const auto lines = RecordLines();
    ASSERT_EQ(before + std::size(cases) + 1, lines.size());
    unsigned long long last = 0;
    for (size_t i = 0; i <= std::size(cases); ++i) {
        const std::string& l = lines[before + i];
        SCOPED_TRACE(l);
        const size_t sp = l.find(' ');
        ASSERT_NE(std::string::npos, sp);
        const unsigned long long us = std::stoull(l.substr(0, sp));
        EXPECT_LE(last, us) << "time stamps never go back";
        last = us;
        EXPECT_EQ(i < std::size(cases) ? std::string("1 ") + cases[i].want : std::string("0 90 01 02"), l.substr(sp + 1));
    }
}

std::string StateFile() {
    std::ifstream in(g_dir + "/state");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The state file counts the subscriptions per loopback port, as Wine makes one when it
// opens a device and takes it away when it closes it: a disconnect, a deleted port and
// a closed client each end theirs, and two clients on one input count twice.
TEST(LoopbackSeq, TheStateFileCountsTheOpenSubscriptionsOfEveryPort) {
    Client a;
    ASSERT_EQ(0, snd_seq_connect_from(a.seq, a.port, kClient, 0));
    EXPECT_EQ("in=1,0,0\nout=0,0\n", StateFile());
    const int out = snd_seq_create_simple_port(a.seq, "out", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_EQ(0, snd_seq_connect_to(a.seq, out, kClient, 4));
    EXPECT_EQ("in=1,0,0\nout=0,1\n", StateFile());
    EXPECT_EQ(-EBUSY, snd_seq_connect_from(a.seq, a.port, kClient, 0));
    EXPECT_EQ("in=1,0,0\nout=0,1\n", StateFile()) << "a refused subscription counts for nothing";
    {
        Client b;
        ASSERT_EQ(0, snd_seq_connect_from(b.seq, b.port, kClient, 0));
        ASSERT_EQ(0, snd_seq_connect_from(b.seq, b.port, kClient, 2));
        ASSERT_EQ(0, snd_seq_connect_to(b.seq, b.port, kClient, 3));
        EXPECT_EQ("in=2,0,1\nout=1,1\n", StateFile());
    }
    EXPECT_EQ("in=1,0,0\nout=0,1\n", StateFile()) << "a closed client's subscriptions end with it";
    ASSERT_EQ(0, snd_seq_delete_simple_port(a.seq, out));
    EXPECT_EQ("in=1,0,0\nout=0,0\n", StateFile());
    ASSERT_EQ(0, snd_seq_disconnect_from(a.seq, a.port, kClient, 0));
    EXPECT_EQ("in=0,0,0\nout=0,0\n", StateFile());
    EXPECT_NE(0, access((g_dir + "/state." + std::to_string(getpid())).c_str(), F_OK)) << "no file left beside it";
}

}  // namespace
