/*
 * brinlib: the client library of the ZEB recorders.
 *
 * Plain C functions with fixed-width integer arguments. Every function returns
 * a signed 32-bit result: 0 or a positive count or value on success, a negative
 * code on failure. The caller owns every buffer it passes. No function throws.
 *
 * Connection numbers are 0 to 15; each has its own control session, and
 * requests on one connection number must not overlap (one thread at a time per
 * connection number). Different connection numbers may be used from different
 * threads at once.
 *
 * Codes shared by the control functions:
 *   -127    connection number outside 0 to 15
 *   -10200  connection number not connected
 *   -10500  the reply belongs to another request (transaction ID differs)
 *   -10501  the recorder did not answer "OK"
 *   -1      no reply within the time limit, or the receive failed
 */
#ifndef BRINLIB_H
#define BRINLIB_H

#include <stdint.h>

#if defined(__GNUC__)
#define BRIN_API __attribute__((visibility("default")))
#else
#define BRIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Control connection and login ------------------------------------- */

/* Logs in to the recorder at address (dotted IPv4, at most 19 characters) on
 * port 5001 + 2 * cn with the password, then opens the command connection the
 * recorder names. reply_text receives the recorder's greeting text, zero
 * terminated; 128 bytes always suffice (may be NULL).
 * Results: 0; -1 recorder busy or short login reply; -5 empty address;
 * -6 invalid address; -7 socket, connect or time-out; -127; -234 socket mode;
 * -254 no greeting; -255 no login reply; -10201 already connected; the
 * negated refusal code of the recorder (-1 to -127) when the password is
 * refused, or -256 for a refusal that carries no such code. */
BRIN_API int32_t brin_connect(int32_t cn, const char* address, const char* password, char* reply_text);
/* Closes the command connection. The three further arguments are not used.
 * Results: 0, -127, -10200. */
BRIN_API int32_t brin_unconnect(int32_t cn, int32_t unused1, int32_t unused2, int32_t unused3);
/* Switches the debug log on for drive letter 'C' to 'F' (67 to 70); other
 * values change nothing. Returns its argument. */
BRIN_API int32_t brin_log_sw(int32_t drive_letter);

/* ---- Settings and status commands -------------------------------------- */

/* Reads the recorder clock: date as "yyyy/mm/dd" (two-digit years completed),
 * time as the recorder sends it. Each buffer: 258 bytes always suffice. */
BRIN_API int32_t brin_get_time(int32_t cn, char* date, char* time);
BRIN_API int32_t brin_set_time(int32_t cn, const char* date, const char* time);
/* Switch items: the get functions return the item's value; the set functions
 * return the value the recorder reports. brin_cam_swset and brin_hd_swset try
 * five receives and return the last receive failure unchanged (-10035 on the
 * time-out). brin_jpeg_swset with a = 99 reads no reply, waits 4 s and
 * returns -99. */
BRIN_API int32_t brin_cam_swget(int32_t cn, int32_t item);
BRIN_API int32_t brin_cam_swset(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_hd_swget(int32_t cn, int32_t item);
BRIN_API int32_t brin_hd_swset(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_jpeg_swget(int32_t cn, int32_t item);
BRIN_API int32_t brin_jpeg_swset(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_combi_set(int32_t cn, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e);
/* p1 to p4 are sent and then replaced by the reply's values. */
BRIN_API int32_t brin_combi_get(int32_t cn, int32_t* p1, int32_t* p2, int32_t* p3, int32_t* p4, int32_t e);
/* Reads the menu data into data (which must hold the announced size; at most
 * 1 MiB is delivered). Returns the announced size. */
BRIN_API int32_t brin_rx_menu_data(int32_t cn, int32_t value, uint8_t* data);
BRIN_API int32_t brin_rx_status(int32_t cn, int32_t value);
BRIN_API int32_t brin_mem_get(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_mem_set(int32_t cn, int32_t a, int32_t b, int32_t c);
BRIN_API int32_t brin_i2c_get(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_i2c_set(int32_t cn, int32_t a, int32_t b, int32_t c);
BRIN_API int32_t brin_nvc_get(int32_t cn, int32_t a, int32_t b, int32_t c);
BRIN_API int32_t brin_nvc_set(int32_t cn, int32_t a, int32_t b, int32_t c, int32_t d);
/* Uploads an update file (smaller than 8 MiB). Returns its size in bytes;
 * -1 file not opened, -2 file empty, -3 file of 8 MiB or more (nothing is
 * sent). */
BRIN_API int32_t brin_update(int32_t cn, const char* path, int32_t value);
BRIN_API int32_t brin_re_boot(int32_t cn);

/* ---- Remote playback commands ------------------------------------------- */

BRIN_API int32_t brin_ctrl_play(int32_t cn, int32_t command);
BRIN_API int32_t brin_play_search(int32_t cn, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                                  int32_t second);
BRIN_API int32_t brin_set_playpointer(int32_t cn, int32_t a, int32_t b);
BRIN_API int32_t brin_rx_hddlist(int32_t cn, int32_t a, int32_t b);
/* Fetches play list number list into "img/list<list in hex>.txt" in the
 * current folder; the file holds "0\n" while the transfer runs. Returns the
 * list size in bytes (0: empty list, the file is not touched). */
BRIN_API int32_t brin_rx_playlist(int32_t cn, int32_t list);

/* ---- Live stream and live audio ----------------------------------------- */

/* The recorder sends its cameras' live frames as UDP datagrams; two receive
 * threads reassemble them and each poll writes the newest picture of a
 * channel to "img/serv<kind><channel as two digits>.jpg" (BMP content) in the
 * current folder. Calling order: brin_connect, brin_udp_count(cn, 0, a, b),
 * brin_udp_connect, brin_udp_rx_start, brin_udp_dispmode, wave_play_ctrl;
 * then per timer tick brin_udp_rxtime, brin_udp_rx_stop, brin_udp_rxstatus,
 * brin_udp_rx per shown channel, brin_udp_ptzstatus, brin_udp_rx_start; to
 * stop brin_udp_count(cn, 1, ...), brin_udp_close, wave_play_ctrl(0). Polls
 * run in the caller's thread; decode_init must have run first. */

typedef struct BrinRxTime {
  uint32_t time;
  uint16_t fraction;
} BrinRxTime;

/* Opens reception of the stream sent to address (a multicast group, or the
 * PC's own address) at base_port (thread 0) and base_port + 1 (thread 1);
 * a base port of 0 or less means 50000 for both. Returns 0. */
BRIN_API int32_t brin_udp_connect(const char* address, int32_t base_port, int32_t unused);
/* Accepts datagrams from the recorder a.b.c.d and (re)starts thread 0. */
BRIN_API int32_t brin_udp_rx_start(int32_t a, int32_t b, int32_t c, int32_t d);
/* Pauses thread 0. */
BRIN_API int32_t brin_udp_rx_stop(void);
/* Polls channel 0 to 15 of picture kind 0 or 1: 1 when a new picture file was
 * written, else 0 (also when a frame was taken that gave no picture). */
BRIN_API int32_t brin_udp_rx(int32_t channel, int32_t kind);
/* As brin_udp_rx, but the new picture is copied into rgb instead of being
 * written as a file: the rows the picture file holds (bottom row first,
 * width x 3 bytes each, blue, green, red, no padding), with its size in
 * *width and *height. 1 when a new picture was copied; 0 when there is none
 * (rgb untouched); -1 for a null rgb or a picture larger than capacity
 * bytes (the frame is used up all the same); 1920 x 1080 x 3 bytes hold any
 * picture a recorder sends. */
BRIN_API int32_t brin_udp_rx_picture(int32_t channel, int32_t kind, uint8_t* rgb, int32_t capacity, int32_t* width,
                                     int32_t* height);
/* The time and time fraction of the newest frame of kind 0 (kind == 0) or 1. */
BRIN_API BrinRxTime* brin_udp_rxtime(int32_t kind, BrinRxTime* out);
/* mode -1 clears the audio end markers; 0 reads kind 0's flags, status word
 * and the camera-control status of the last channel seen; other modes kind
 * 1's flags and status. flags also carry 0x10 / 0x20 for ended audio. Returns
 * the flags. */
BRIN_API int32_t brin_udp_rxstatus(int32_t mode, uint8_t* flags, uint8_t* channel, uint16_t* status, uint16_t* control1,
                                   uint16_t* control2, uint16_t* control3);
/* The three camera-control status values of a channel; the third is then
 * cleared (reported once). */
BRIN_API int32_t brin_udp_ptzstatus(int32_t channel, uint16_t* v1, uint16_t* v2, uint16_t* v3);
/* Ends both receive threads and frees the buffers. Returns 0. */
BRIN_API int32_t brin_udp_close(void);
/* Asks the recorder to start (direction 0, "UDPup") or stop ("UDPdown")
 * sending; b switches the audio on or off. Returns the recorder's value, or a
 * control code (a receive failure is returned as it is). */
BRIN_API int32_t brin_udp_count(int32_t cn, int32_t direction, int32_t a, int32_t b);
/* Tells the recorder which channel is shown alone (0 none, 1 to 16 = channel
 * + 1); its frames are then played out picture by picture. */
BRIN_API int32_t brin_udp_dispmode(int32_t cn, int32_t selected, int32_t mode);

/* Live audio: 0 off, 1 play audio kind 2, 2 play kind 3, 3 play the
 * downloaded-file source. Blocks are played only while the b of the last
 * brin_udp_count was not 0. Returns the mode passed. */
BRIN_API int32_t wave_play_ctrl(int32_t mode);
/* Selects audio channel 0 to 3 for both kinds (selector 0 or 1). Returns the
 * previous channel of kind 3, or the selector when an argument is out of
 * range. */
BRIN_API int32_t wave_play_ch(int32_t selector, int32_t channel);
/* Saves the newest waiting audio frame of kind 2 (kind_selector 0) or 3 to
 * path. Returns the bytes written, 0 when no new frame was waiting. */
BRIN_API int32_t brin_udp_wave(int32_t unused, int32_t kind_selector, const char* path);

/* ---- Decoding set-up ---------------------------------------------------- */

/* Sets up the sixteen channel decoders of the recorder's video (each at
 * 344 x 344 until a stream header of its channel gives the real size), the
 * shared 1 MiB work buffer and the audio side buffers. Called again while set
 * up, it keeps the decoders and only clears the channel flags and renews the
 * work buffer. Returns the downloaded-file player's set-up result (0 when
 * ready); when the work buffer cannot be allocated it shows the message
 * "error: GlobalAlloc" and returns 1. Call from one thread at a time. */
BRIN_API int32_t decode_init(void);
/* Frees the decoders, their pictures and the shared buffers. */
BRIN_API void decode_deinit(void);

/* ---- Recorder disk: reader, index, time search and skip ------------------ */

/* A recorder's hard disk attached to the PC (or an image of one), read as a
 * raw drive; it is never written. Drive n (0 to 9) is the path in the
 * environment variable VELMORA_DRIVE<n> when set, else the n-th physical
 * disk. Times are RecSeconds: seconds from 2000-01-01 00:00:00 with every
 * month counted as 31 days and every year as 372 days.
 *
 * One process-wide disk handle and one playback position serve all of these
 * functions; call them from one thread at a time, and only while disk
 * playback is stopped or paused. */

/* Probes drive n: the number of cylinders (low 32 bits) when it has the
 * recorder's geometry (fixed disk, 512 bytes per sector, 255 tracks per
 * cylinder, 63 sectors per track; an image file always has it), and prints
 * "Cylinders = %d\n" to the standard output. -1 cannot open; -2 geometry
 * query failed; -3 not a fixed disk; -4 other geometry. Leaves the disk
 * handle closed (a disk opened before is closed). */
BRIN_API int32_t hdd_get(int32_t drive);
/* Opens drive n read-only as the disk handle. 0; -1 failed. */
BRIN_API int32_t hdd_open(int32_t drive);
/* Opens the disk image file or block device at path (a file name in the
 * system's encoding) read-only as the disk handle, in place of a numbered
 * drive. 0; -1 refused: no path, cannot be opened, neither an image file
 * nor a block device, not the recorder's geometry (as hdd_get checks it), or
 * too small to hold the disk's management region. When refused, the disk
 * opened before stays open. */
BRIN_API int32_t hdd_open_path(const char* path);
/* Closes the disk handle: non-zero when it was open and closed cleanly. */
BRIN_API int32_t hdd_close(void);
/* Reads count sectors of 512 bytes from first_sector into buffer (count x 512
 * bytes). 0; -1 the sectors lie outside the disk (seek failed); -2 read
 * failed. */
BRIN_API int32_t hdd_read(int32_t first_sector, int32_t count, uint8_t* buffer);
/* Copies disk sector 0 (the recorder's settings sector) unchanged into
 * values (128 entries). Always 0; after a failed read values is unchanged. */
BRIN_API int32_t get_start_time(uint32_t* values);
/* Sector 0 as 128 settings values: value i = (word 2i << 16) | word 2i+1,
 * words little-endian. 0; -1 seek failed; -2 read failed. */
BRIN_API int32_t hdd_read_hdsw(uint32_t* values);

/* Reads the picture at *sector of the picture area [area_start, area_start +
 * area_sectors) into buffer (262656 bytes; pictures are stored with the two
 * bytes of every 16-bit word exchanged). name receives the picture's file
 * name (64 bytes suffice). With k = 0 only the first sector is read.
 * Results: the picture length (cursor moved behind the picture); -2 no
 * picture found within 32768 sectors; -3 the first sector could not be read
 * (cursor + 129); -5 the rest of the picture could not be read; -6 not a
 * picture: the cursor is moved to the next sector that starts like one; -7
 * no picture before the end of the area (cursor at the end). */
BRIN_API int32_t hdd_read_jpeg(int32_t* sector, int32_t area_start, int32_t area_sectors, int32_t k, uint8_t* buffer,
                               char* name);
/* Writes length bytes of a picture read by hdd_read_jpeg to path, turning
 * it into a JPEG file by exchanging the bytes of each 16-bit word of buffer
 * in place. The file is created new: a file or symlink already at path is
 * left as it is. total + length; -1 cannot create the file (also when path
 * exists); -2 short write. */
BRIN_API int32_t hdd_write_jpeg_file(const char* path, int32_t length, uint8_t* buffer, int32_t total);
/* Reads the first 16 bytes of a saved picture into head: the camera value
 * (the high four bits of byte 7 rotated left by one); the count read when it
 * is under 16; 0 when the file cannot be opened. */
BRIN_API int32_t read_jpeg_head_com(const char* path, uint8_t* head);

/* Loads the index of the open disk and puts the playback position on the
 * oldest recorded data. 0. */
BRIN_API int32_t first_section_play(void);
/* The time range of the disk: first time of the oldest block, last time of
 * the newest block. 0; -1 the index could not be loaded completely. */
BRIN_API int32_t read_start_end_sec(uint32_t* start, uint32_t* end);
/* Positions playback at a time: 1 at the GOP holding the time (or at the
 * start of the recordings that follow it); 2 no recording at that time, the
 * position is the last GOP of the newest recording. */
BRIN_API int32_t search_play(uint32_t seconds);
/* The recording list: its entry count and oldest entry index. Entries are
 * (oldest + k) mod 1000 for k below count. 0. */
BRIN_API int32_t get_rec_list(int32_t* count, int32_t* oldest);
/* Start, end and kind of recording-list entry index (0 to 999). 0; -1 index
 * out of range or entry damaged (the outputs are left unchanged). */
BRIN_API int32_t get_list_start_end_sec(int32_t index, uint32_t* start, uint32_t* end, int32_t* kind);
/* The alarm list: count and oldest index (entries mod 50). 0. */
BRIN_API int32_t get_alarm_list(int32_t* count, int32_t* oldest);
/* Start and end of alarm entry index (0 to 49). 0; -1 index out of range or
 * entry damaged (the outputs are left unchanged). */
BRIN_API int32_t get_alarm_info(int32_t index, uint32_t* start, uint32_t* end);
/* Moves the playback position to the start of the next recording run, or to
 * the start of the current one (the previous one when already at a start).
 * 0; -123 no index loaded; -124 no further run in that direction (the
 * position is unchanged); -1 a part of the index could not be read. */
BRIN_API int32_t skip_foward(void);
BRIN_API int32_t skip_back(void);
/* Reads the frames of the next GOP (48-byte frame headers with their
 * payloads) into buffer (2097152 bytes); *length receives their size.
 * 0; 1 the GOP ended on the end-of-data marker; -1 damaged or unreadable
 * GOP; 100 no further data. */
BRIN_API int32_t read_data(uint8_t* buffer, int32_t* length);

/* ---- Playback engine, bitmaps and disk-to-PC copy ------------------------ */

/* Playback of the attached disk and of copied data through the channel
 * library's channel 0, which decodes and paces the frames; the pictures are
 * fetched with make_bmp. Open the channel first with Ovo_play_open.
 *
 * Play states (disk and copied data each have their own): 0 idle, 1 play,
 * 2 fast forward, 3 fast backward, 4 one step forward, 5 one step backward.
 * A worker thread per source acts on its state at its next round (within a
 * few milliseconds); a step returns the state to 0 when done, and so do the
 * end of the data and a damaged GOP. The speed (0 to 6 from the viewer) is
 * shared by both sources; fast play on the disk shows every second GOP at
 * speed 4 and every fourth above. The controls may be called from any thread
 * and also while no worker runs (the state then waits for one). */

/* Starts the disk worker, which plays from the playback position (set it
 * with first_section_play or search_play). 0; -1 it runs already. */
BRIN_API int32_t hdd_read_start(void);
/* Asks the disk worker to end (without waiting). 0; -1 it does not run. */
BRIN_API int32_t hdd_read_stop(void);
/* Set the disk's play state; each returns 0. */
BRIN_API int32_t hdd_play_start(void);
BRIN_API int32_t hdd_play_stop(void);
BRIN_API int32_t hdd_play_forward(int32_t speed);
BRIN_API int32_t hdd_play_back(int32_t speed);
BRIN_API int32_t hdd_one_play(void);
BRIN_API int32_t hdd_one_back(void);

/* Plays a copy: data_path is the copy's "ZEB.dat", index_path its ".index";
 * the third argument is not used. Ends a running file playback first, sets
 * the disk's play state to 0 and starts the file worker at the first GOP,
 * idle. 0; -1 a file cannot be opened. */
BRIN_API int32_t playfile(const char* data_path, const char* index_path, const char* unused);
/* Asks the file worker to end. 0; -1 it does not run. */
BRIN_API int32_t file_read_stop(void);
/* Set the copied data's play state; each returns 0. Backward play ends at the
 * first GOP, forward play at the last. */
BRIN_API int32_t file_play_start(void);
BRIN_API int32_t file_play_stop(void);
BRIN_API int32_t file_play_forward(int32_t speed);
BRIN_API int32_t file_play_back(int32_t speed);
BRIN_API int32_t file_one_play(void);
BRIN_API int32_t file_one_back(void);
/* The times (RecSeconds) of the first and the last GOP of the copy being
 * played (0 when none). 0. */
BRIN_API int32_t file_read_start_end_sec(uint32_t* start, uint32_t* end);
/* Stops file play and places the position at the GOP whose place in the
 * index is proportional to the time between the first and last GOP's.
 * 0; -1 no file worker runs; -2 the time lies outside the copy. */
BRIN_API int32_t file_search(uint32_t seconds);
/* Hands one stored frame (a 48-byte frame header and its payload) from a
 * file to channel 0, after setting both play states to 0; the second
 * argument is not used. 0; -1 the file cannot be opened. */
BRIN_API int32_t one_farme_view(const char* path, const char* unused);
/* Hands up to 50 frame buffers from the library's two-slot test store to
 * channel 0, one at a time, waiting up to about 1 s for each. Nothing in the
 * library fills that store, so it returns 0 at once in normal use. Returns
 * the number of buffers handed over. */
BRIN_API int32_t playtest(void);

/* Pass-throughs to the channel library. Ovo_play_open starts its decode
 * thread (the first and the two text arguments are not used) and returns its
 * result. Ovo_set_viewer_mode: -1 for a channel outside 0 to 7, else the
 * library's result (mode 0 plays every camera, another value only that
 * camera number). play_end asks the decode thread to end and waits up to
 * 3 s for it to be gone (0). get_dec_sts:
 * 1 while the stream's start could not be decoded, else 0. set_init_dec
 * restarts the decoder on the next video frame (0); clear_dec_err clears the
 * decoder error (0). audio_set(1) drops the audio of what is played, (0)
 * keeps it; returns the library's result. */
BRIN_API int32_t Ovo_play_open(int32_t unused, const char* unused_a, const char* unused_b, int32_t window);
BRIN_API int32_t Ovo_set_viewer_mode(int32_t channel, int32_t mode);
BRIN_API int32_t play_end(void);
BRIN_API int32_t get_dec_sts(void);
BRIN_API int32_t set_init_dec(void);
BRIN_API int32_t clear_dec_err(void);
BRIN_API int32_t audio_set(int32_t flag);

/* Pictures. The displayed playback picture (704 x 480 at most) is split by
 * its layout into the four picture slots and written to the current folder:
 * layout 4 writes "bmp1.bmp" to "bmp4.bmp" (352 x 240 quarters); layout 2
 * the first and the second slot named by first_slot and second_slot (704 x
 * 240: the upper and the lower half); layout 1 the first slot (704 x 240, the
 * upper half; 352 x 240 in BMP mode 1). layout, first_slot, second_slot and
 * time (RecSeconds) describe the picture; nothing is written before the
 * first picture, for another layout or a slot outside 1 to 4. Call from one
 * thread at a time. make_bmp does the same while a play state is not 0 and
 * sets *idle to 0; with both play states 0 it sets *idle to 1 and writes
 * nothing. Both return 0. */
BRIN_API int32_t make_bmp(int32_t* layout, int32_t* first_slot, int32_t* second_slot, uint32_t* time, int32_t* idle);
BRIN_API int32_t make_bmp_one(int32_t* layout, int32_t* first_slot, int32_t* second_slot, uint32_t* time);
/* The picture the last make_bmp or make_bmp_one wrote as "bmp<slot>.bmp",
 * in memory: its rows, bottom row first, blue, green, red, width x 3 bytes
 * each, into rgb (capacity bytes), with its size and *serial, which grows
 * whenever the slot takes a picture that differs from the one it held, so
 * that a caller polling often can pass over a picture it has shown. 1 when copied; 0 while the slot has had no
 * picture; -1 for a slot outside 1 to 4, a null argument or a buffer too
 * small. Any thread. */
BRIN_API int32_t make_bmp_picture(int32_t slot, uint8_t* rgb, int32_t capacity, int32_t* width, int32_t* height,
                                  uint32_t* serial);
/* BMP mode 1: a single picture is 352 x 240. Set returns 0, get the mode. */
BRIN_API int32_t set_make_bmp_mode(int32_t mode);
BRIN_API int32_t get_make_bmp_mode(void);
/* Writes the displayed picture whole as "Bitmap1.bmp" (704 x 480). 0. */
BRIN_API int32_t keltest(int32_t unused);
/* The channel library's stored picture of camera slot 1 to 4 as RGB into
 * destination (1013760 bytes) with its size. 0. */
BRIN_API int32_t get_bmp(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot);
/* Width and height from a BMP file's headers. 0; -1 an argument is missing
 * or the file cannot be read. */
BRIN_API int32_t get_bmpsize(const char* path, int32_t* width, int32_t* height);
/* Decodes one frame file of a split recording (one recorder packet) and
 * writes its picture to bmp_path without its first 8 rows. With frame ==
 * start_frame the file is frame_path; otherwise the nearest existing file
 * frame_folder + "<channel>_<number>.dat" from frame towards start_frame
 * (frame_folder ends in a separator). decode_init must have run. Results:
 * frame when the picture was written; the header-scan flags of the packet
 * when it could not be decoded; 0 the file holds no packet; -1 no frame
 * file; -10 the decoders are not set up (message "error: not initialized "
 * with frame_folder as caption). */
BRIN_API int32_t I2BMP(const char* frame_path, const char* bmp_path, const char* frame_folder, int32_t channel,
                       int32_t frame, int32_t start_frame);

/* Copies the span start to end (RecSeconds) of the attached disk into folder
 * as "ZEB.dat", ".index" and "List.ZEB" (joined as folder + "/" + name, or
 * folder + name when the folder ends in '/'), all three created new, in a
 * thread of its own; it starts at the GOP search_play finds for start (the
 * newest GOP when none) and ends after the first GOP at or after end. Sets
 * the disk's play state to 0 first. 0 started; -1 a copy runs, folder is
 * empty, or a file cannot be created or written; -2 the folder already
 * holds one of the three names (an earlier copy, or a symlink), which is
 * left as it is. */
BRIN_API int32_t hdd_copy_usb(const char* folder, uint32_t start, uint32_t end);
/* Asks a running copy to stop and waits 10 ms. 0. */
BRIN_API int32_t hdd_copy_usb_stop(void);
/* *status: while a copy runs its progress 0 to 100; afterwards 200 when it
 * completed (or none ran), 101 the disk could not be read (or held no data
 * at the start), 102 stopped, 103 the data could not be written (too little
 * space on the destination, a write error), 104 the index or list could not
 * be written. A copy is complete only when its files are written through to
 * the destination and closed; a failed one leaves files that play up to the
 * last GOP written whole. Returns 0. */
BRIN_API int32_t hdd_copy_usb_get_sts(int32_t* status);

/* ---- Remote data copy and downloaded data files -------------------------- */

/* Remote data copy: a span of the recording is fetched chunk by chunk over
 * the command connection of cn into a downloaded data file (path) and, when
 * the recorder has nothing more to send, its frame index file "<folder>/.index".
 * One copy at a time in the process; the copy calls run in the caller's
 * thread and block while a chunk arrives. Call brin_copy_fast once, then
 * brin_copy_next with the same path until it returns 0 or a negative code.
 * Codes of both: -127, -10200, -1 (no reply), -10500, -10501, -5 when a
 * chunk did not arrive whole or is larger than 1 MiB (the copy then ends; the
 * data file stays without index), and -2 when the data file or the index
 * file cannot be created new: the copy's files are never opened over an
 * existing file or through a symlink, and a chunk is not asked for without
 * a file to take it. The data file is created by brin_copy_fast and written
 * through the descriptor it was created with until the copy ends. */

/* Asks for the span given by the twelve numbers (sent as they are, two
 * groups of six) and stores the first chunk, creating the data file.
 * Returns 1, or 0 when the recorder has nothing to send (no file is made). */
BRIN_API int32_t brin_copy_fast(int32_t cn, const char* path, int32_t n1, int32_t n2, int32_t n3, int32_t n4,
                                int32_t n5, int32_t n6, int32_t n7, int32_t n8, int32_t n9, int32_t n10, int32_t n11,
                                int32_t n12);
/* Stores the next chunk. progress (4 bytes, may be NULL) receives the bytes
 * of this chunk as a big-endian 32-bit number. Returns the whole seconds of
 * recording copied so far when more than one, else 1; 0 when the copy has
 * ended and the index file is written (progress is then not written). */
BRIN_API int32_t brin_copy_next(int32_t cn, const char* path, uint8_t* progress, const char* index_folder);

/* Downloaded data files: one file open at a time, played by a player thread
 * that decodes the shown channel and hands its pictures over as BMP files.
 * Call Mpeg4DLdata_init (decode_init does) before the others, from one
 * thread. Times are RecSeconds unless said otherwise. */

/* 0 ready (also when already initialised); 1 when a buffer could not be had. */
BRIN_API int32_t Mpeg4DLdata_init(void);
/* Closes an open file and releases the player. */
BRIN_API void Mpeg4DLdata_deinit(void);
/* Opens a data file: loads "<index_folder>/.index" or starts building it
 * (first step of steps; steps <= 0 builds it whole), starts the player
 * waiting (mode 2). Pictures go to "<bmp_folder>/<channel>.bmp" (folder of
 * at most 199 characters). Returns the file size in bytes (at most
 * INT32_MAX); 0 when not initialised, a file is already open, or the file
 * cannot be opened (a message box says so). */
BRIN_API int32_t Mpeg4DLdata_fileopen(const char* path, const char* bmp_folder, const char* index_folder,
                                      int32_t steps);
/* Ends the player and closes the file. Returns 0. */
BRIN_API int32_t Mpeg4DLdata_fileclose(void);
/* 1 after writing the channel's newest picture to "<bmp_folder>/<channel>.bmp";
 * 0 when the channel has no new picture (or it cannot be written). */
BRIN_API int32_t Mpeg4DLdata_filelock(int32_t channel);
/* Clears the channel's new-picture flag; returns its former value. */
BRIN_API int32_t Mpeg4DLdata_fileunlock(int32_t channel);
/* The channel shown (0 to 15; -1 none). Returns the channel. */
BRIN_API int32_t Mpeg4DLdata_set_disptype(int32_t channel);
/* Play modes: 0 forward with sound, 1 and 2 wait, 3 to 5 backward through
 * the key pictures (real speed, double speed, as fast as possible), 6 and 7
 * forward through the key pictures (as fast as possible, double speed).
 * Returns the mode set. */
BRIN_API int32_t Mpeg4DLdata_set_m_nPlayMode(int32_t mode);
BRIN_API int32_t Mpeg4DLdata_get_m_nPlayMode(void);
/* The position: scale 0 gives the current index entry, otherwise 0 to scale.
 * -1 when not initialised or no file is open. */
BRIN_API int32_t Mpeg4DLdata_get_PlayPos(int32_t scale);
/* Moves the player: scale 0 to index entry value, otherwise to value / scale
 * of the file. Returns the channel of the packet found there, -1 when there
 * is none (or nothing is open). */
BRIN_API int32_t Mpeg4DLdata_set_PlayPos(int32_t scale, int32_t value);
/* Moves the player to the time; returns the position reached, scaled 0 to
 * scale when scale > 0, else in bytes. 0 when no file is open. */
BRIN_API int32_t Mpeg4DLdata_search(int32_t rec_seconds, int32_t scale);
/* The channels of the open file as bit masks. When its index is missing it
 * is built whole first (with a message); then the video mask is returned,
 * otherwise the audio mask. */
BRIN_API int32_t Mpeg4DLdata_get_enable_ch(int32_t* video_mask, int32_t* audio_mask, const char* index_folder,
                                           int32_t steps);
/* Builds the index one step further. steps 0: 1 when the index is complete,
 * else 0. Otherwise steps when complete (the index file is then written),
 * else the progress 0 to steps - 1. */
BRIN_API int32_t Mpeg4DLdata_frame_index(const char* index_folder, int32_t steps);
/* Sets the base time (the recording's start) from RecSeconds; returns it in
 * seconds since 1970 (local time). */
BRIN_API int32_t make_base_tm(int32_t rec_seconds);
/* Writes the time of the player's current packet as a RecTime at bytes 8 to
 * 13 of record. Returns 0, -1 when record is NULL. */
BRIN_API int32_t calc_time(int32_t unused, uint8_t* record);
/* Splits a data file into "<folder>/<channel>_<frame>.dat" per video frame
 * (frames counted in thirtieths of a second) and "<folder>/wav<channel>.wav"
 * for audio channels 0 to 3. A frame limit > 0 stops the split past that
 * frame (result 0); Mpeg4Play2 continues where the last call stopped. Returns
 * the last frame number (the lowest among audio and video), -1 on error.
 * Needs decode_init. */
BRIN_API int32_t Mpeg4Play(const char* path, const char* folder, int32_t frame_limit);
BRIN_API int32_t Mpeg4Play2(const char* path, const char* folder, int32_t frame_limit);

#ifdef __cplusplus
}
#endif

#endif /* BRINLIB_H */
