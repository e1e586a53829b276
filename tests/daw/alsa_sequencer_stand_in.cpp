// An ALSA sequencer with no one on it, for Qtractor on a machine whose kernel has no sound support (no
// /dev/snd/seq, as on CI's): Qtractor starts its session only when both its JACK audio engine and its ALSA MIDI
// engine open, and closes the audio engine again when the sequencer cannot be opened. Preloaded into Qtractor
// (LD_PRELOAD), these take the place of libasound's calls on a sequencer handle: opening always works, Qtractor's
// client, queue and ports get numbers, no other client or port exists, no event ever arrives and every event sent
// is dropped. The calls that only fill or read Qtractor's own info records stay libasound's.
//
// Built by tests/daw/check_qtractor.py, which loads it into Qtractor alone; nothing else links it.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

struct Sequencer {
    int never_readable[2] = {-1, -1};  // the descriptor Qtractor's MIDI input thread polls
    int next_port = 0;
};

Sequencer the_sequencer;

snd_seq_t* Handle() { return reinterpret_cast<snd_seq_t*>(&the_sequencer); }

}  // namespace

extern "C" {

int snd_seq_open(snd_seq_t** handle, const char*, int, int) {
    if (the_sequencer.never_readable[0] < 0 && pipe(the_sequencer.never_readable) != 0) return -errno;
    *handle = Handle();
    return 0;
}
int snd_seq_close(snd_seq_t*) { return 0; }

int snd_seq_set_client_name(snd_seq_t*, const char*) { return 0; }
int snd_seq_client_id(snd_seq_t*) { return 128; }  // the first number the kernel gives a user client
int snd_seq_get_any_client_info(snd_seq_t*, int, snd_seq_client_info_t*) { return -ENOENT; }
int snd_seq_query_next_client(snd_seq_t*, snd_seq_client_info_t*) { return -ENOENT; }

int snd_seq_create_simple_port(snd_seq_t*, const char*, unsigned int, unsigned int) {
    return the_sequencer.next_port++;
}
int snd_seq_delete_simple_port(snd_seq_t*, int) { return 0; }
int snd_seq_get_port_info(snd_seq_t*, int, snd_seq_port_info_t* info) {
    std::memset(info, 0, snd_seq_port_info_sizeof());
    return 0;
}
int snd_seq_set_port_info(snd_seq_t*, int, snd_seq_port_info_t*) { return 0; }
int snd_seq_get_any_port_info(snd_seq_t*, int, int, snd_seq_port_info_t*) { return -ENOENT; }
int snd_seq_query_next_port(snd_seq_t*, snd_seq_port_info_t*) { return -ENOENT; }
int snd_seq_query_port_subscribers(snd_seq_t*, snd_seq_query_subscribe_t*) { return -ENOENT; }
int snd_seq_subscribe_port(snd_seq_t*, snd_seq_port_subscribe_t*) { return 0; }
int snd_seq_unsubscribe_port(snd_seq_t*, snd_seq_port_subscribe_t*) { return 0; }

int snd_seq_alloc_queue(snd_seq_t*) { return 0; }
int snd_seq_free_queue(snd_seq_t*, int) { return 0; }
int snd_seq_control_queue(snd_seq_t*, int, int, int, snd_seq_event_t*) { return 0; }
int snd_seq_set_queue_timer(snd_seq_t*, int, snd_seq_queue_timer_t*) { return 0; }
int snd_seq_get_queue_status(snd_seq_t*, int, snd_seq_queue_status_t* status) {
    std::memset(status, 0, snd_seq_queue_status_sizeof());  // a queue standing at tick 0
    return 0;
}
int snd_seq_get_queue_tempo(snd_seq_t*, int, snd_seq_queue_tempo_t* tempo) {
    std::memset(tempo, 0, snd_seq_queue_tempo_sizeof());
    snd_seq_queue_tempo_set_skew(tempo, 0x10000);  // no skew, as a fresh queue reports
    return 0;
}
int snd_seq_set_queue_tempo(snd_seq_t*, int, snd_seq_queue_tempo_t*) { return 0; }

int snd_seq_poll_descriptors_count(snd_seq_t*, short) { return 1; }
int snd_seq_poll_descriptors(snd_seq_t*, struct pollfd* descriptors, unsigned int space, short events) {
    if (space < 1) return 0;
    descriptors->fd = the_sequencer.never_readable[0];
    descriptors->events = events;
    descriptors->revents = 0;
    return 1;
}
int snd_seq_event_input(snd_seq_t*, snd_seq_event_t**) { return -EAGAIN; }
int snd_seq_event_input_pending(snd_seq_t*, int) { return 0; }
int snd_seq_drop_input(snd_seq_t*) { return 0; }
int snd_seq_event_output(snd_seq_t*, snd_seq_event_t*) { return 0; }
int snd_seq_event_output_direct(snd_seq_t*, snd_seq_event_t*) { return 0; }
int snd_seq_drain_output(snd_seq_t*) { return 0; }
int snd_seq_drop_output(snd_seq_t*) { return 0; }
int snd_seq_remove_events(snd_seq_t*, snd_seq_remove_events_t*) { return 0; }

}  // extern "C"
