/*
 * OvoDec1: the channel library. brinlib hands it buffers of recorded frame
 * records; it queues them in one ten-slot frame ring, one decode thread
 * decodes the video, plays the audio and paces the pictures by the durations
 * of the records, and the current picture can be fetched as RGB at any time.
 * A second path receives frame records from a caller's source, presents each
 * picture through a caller's callback and can record the stream to files.
 *
 * Plain C functions with fixed-width integer arguments, each returning a
 * signed 32-bit result (0 or a positive value on success, negative on
 * failure). The leading instance argument is accepted and ignored: the
 * library holds one ring and one worker thread per process. The caller owns
 * every buffer it passes. No function throws.
 *
 * Frame record: a 48-byte header (little-endian: marker FF FB video or FF FC
 * audio at 0, record kind at 2, sequence number at 8, camera-set bits at 11,
 * time in seconds since 1970 at 12, payload length at 16, duration in
 * microseconds at 20, camera number at 34) followed by its payload. Records
 * are packed back to back.
 *
 * RGB pictures: 24 bits per pixel in the order blue, green, red, rows of
 * exactly width x 3 bytes, bottom row first.
 */
#ifndef OVODEC1_H
#define OVODEC1_H

#include <stdint.h>

#if defined(__GNUC__)
#define OVO_API __attribute__((visibility("default")))
#else
#define OVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Playback: frame ring and decode thread ---------------------------- */

/* Starts the decode thread (it opens the sound output on its first start in
 * the process), waits 50 ms and returns 0. While a decode thread runs, a
 * further call only records the window value; when that thread has been asked
 * to stop, the call waits for it to end and starts a new one. Results: 0; -1
 * while the receive thread runs, or when a stopping thread has not ended
 * within 3 s. */
OVO_API int32_t Ovo_play_open1(int32_t instance, int32_t unused1, int32_t unused2, int32_t window);

/* Queues the frame records of a buffer of length bytes. Returns -1 at once
 * when the next ring slot is full (nothing queued; call again), else 0.
 * With single_frame 1 only the first record is queued and the pause after its
 * picture comes from speed: 0 to 6 give 1 s, 500, 250, 125, 62.5, 31.25 and
 * 15.625 ms. A record with an unknown marker, of another camera than the
 * viewer mode, whose payload runs past length or exceeds 262,144 bytes ends
 * the buffer: the rest is dropped and the result is still 0. With no-audio
 * mode on, audio records are dropped and their durations added to the next
 * queued record. When the ring fills in the middle of a buffer the call waits
 * for the decode thread to free a slot; with no decode thread running the
 * rest of the buffer is dropped. The buffer may be reused once this returns.
 * Any thread. */
OVO_API int32_t play_add_ring1(int32_t instance, const uint8_t* records, int32_t length, int32_t single_frame,
                               int32_t speed);
/* Asks the decode thread to end; returns 0 at once. */
OVO_API int32_t stop_play_thread(void);
/* Waits up to timeout_ms for a decode thread asked to end to be gone,
 * threads of its own included, so that a program ending next leaves none
 * behind: 0 when no decode thread runs any more, -1 when one still runs
 * after the time or the receive thread runs. Not from the decode thread's
 * own call-backs. */
OVO_API int32_t Ovo_wait_play_end1(int32_t instance, int32_t timeout_ms);
/* Makes the decode thread restart the decoder on the next video record. 0. */
OVO_API int32_t set_init_again(void);
/* value 1: stops the sound and drops up to ten queued records, then 0; any
 * other value changes nothing. */
OVO_API int32_t sound_change(int32_t value);
/* 1 drops audio records when they are queued; any other value keeps them. 0. */
OVO_API int32_t no_audio_mode_set(int32_t value);
/* 0 queues records of every camera; another value only records whose camera
 * number equals it. 0. */
OVO_API int32_t Ovo_set_viewer_mode1(int32_t instance, int32_t mode);
/* 1 while the decoder could not be started on the newest stream start, else 0. */
OVO_API int32_t err_flag_status(void);
OVO_API int32_t err_flag_reset(void);

/* Stores the camera-set summary of the current picture (count 1, 2 or 4;
 * first and second camera 1 to 4) and writes the current picture as RGB to
 * rgb, which must hold width x height x 3 bytes (at most 704 x 480 x 3 =
 * 1,013,760). time receives the picture's local time as a RecSeconds count
 * (every month 31 days, every year 372 days, 2000-01-01 00:00:00 is 0), or 0.
 * Results: 0; -1 before the first picture, for a null rgb, or for a picture
 * larger than 704 x 480 (the summary is stored all the same). Any thread. */
OVO_API int32_t get_bmpdata(int32_t* count, int32_t* first_camera, int32_t* second_camera, uint8_t* rgb,
                            uint32_t* time);
/* 1 applies the deinterlace filter to the RGB pictures; any other value not. 0. */
OVO_API int32_t Ovo_use_deinterlace1(int32_t instance, int32_t flag);
/* 0; stops nothing. */
OVO_API int32_t Ovo_play_close1(int32_t instance);
/* Entry points without an effect; each returns 0. */
OVO_API int32_t Ovo_play_seek1(int32_t instance, int32_t unused1, int32_t unused2);
OVO_API int32_t Ovo_play_status1(int32_t instance, int32_t unused1, int32_t unused2);
OVO_API int32_t Ovo_play_view1(int32_t instance, int32_t unused1, int32_t unused2);
OVO_API int32_t Ovo_record_status1(int32_t instance, int32_t unused1, int32_t unused2);
OVO_API int32_t show_picture1(int32_t instance, int32_t unused1, int32_t unused2);

/* ---- Snapshots ----------------------------------------------------------- */

/* Copies the stored picture of camera slot 1 to 4 (the last picture of that
 * camera: the whole picture when it showed one or two cameras, its quarter
 * when it showed four) as RGB to destination, which must hold 1,013,760
 * bytes; the bytes past width x height x 3 are zero. Results: 0; -1 for
 * another slot number or a null argument. */
OVO_API int32_t get_ch_bmp(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot);

/* ---- Receive path: receive thread, presentation, recording --------------- */

/* The source of the receive path: copies the next frame record (header and
 * payload) into buffer, at most capacity bytes, and returns its length; 0
 * when none is waiting. A record longer than capacity must be skipped by the
 * source (return a negative value). Called on the receive thread. */
typedef int32_t (*OvoReceiveSource)(void* context, uint8_t* buffer, int32_t capacity);
/* Receives each presented picture: RGB scaled to the draw area (or at the
 * picture's size while no draw area is set), valid during the call only.
 * Called on the receive thread. */
typedef void (*OvoPresentPicture)(void* context, int32_t window, const uint8_t* rgb, int32_t width, int32_t height);
/* Receives the statistics text for the title window, valid during the call. */
typedef void (*OvoPresentTitle)(void* context, int32_t title_window, const char* text);

/* Sets the receive source (NULL: none). Takes effect for the next receive
 * thread. 0. */
OVO_API int32_t Ovo_set_receive_source1(int32_t instance, OvoReceiveSource source, void* context);
/* Sets the picture and title callbacks (either may be NULL). 0. */
OVO_API int32_t Ovo_set_presenter1(int32_t instance, OvoPresentPicture picture, OvoPresentTitle title, void* context);

/* Stores the host (at most 63 characters) and ports, starts the receive
 * thread unless a thread of this library runs, opens the sound output,
 * waits 100 ms. Results: 0; -1 for a longer host name. */
OVO_API int32_t Ovo_receive_start1(int32_t instance, const char* host, int32_t port_a, int32_t port_b, int32_t window);
/* Stops the receive thread and waits for it (at most about 2 s). 0. */
OVO_API int32_t Ovo_receive_stop1(int32_t instance);
/* Asks the receive thread to record from the next key frame into directory
 * (created with its missing levels): "<stamp>M.dat" holds the video payloads,
 * "<stamp>M.idx" one entry per key frame, stamp = local time
 * YYYYMMDDhhmmss. Results: 0; -1001 for a missing or empty directory; -1
 * when it cannot be created or entered, or is longer than 240 bytes. */
OVO_API int32_t Ovo_record_open1(int32_t instance, const char* directory, int32_t request, int32_t value1,
                                 int32_t value2);
/* Asks the receive thread to finish the recording at the next record. 0. */
OVO_API int32_t Ovo_record_close1(int32_t instance);
/* Size of the draw area that presented pictures are scaled to. 0. */
OVO_API int32_t Ovo_resize_draw_area1(int32_t instance, int32_t width, int32_t height);
/* Title window for the statistics text (0: none); value is stored. 0. */
OVO_API int32_t Ovo_datasize_wintitle1(int32_t instance, int32_t title_window, int32_t value);

#ifdef __cplusplus
}
#endif

#endif /* OVODEC1_H */
