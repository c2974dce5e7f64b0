// The copy commands of velmora-disk.
#pragma once
#include <cstdint>
#include <string>

#include "exporter/exporter.h"

// Copies the span from..to (RecSeconds) of the open disk into the folder dest
// (created when missing), or with new_folder into the next free folder
// rec00 to rec99 made in it, showing the progress on a terminal. A folder
// that already holds a copy is refused. Exit code.
int export_span(uint32_t from, uint32_t to, const std::string& dest, bool new_folder);
// Decodes the pictures of the copy in the folder source and writes them to
// bmp_dir as "chNN_NNNNNN.bmp" (channel, picture number). Exit code.
int play_copy(const std::string& source, const std::string& bmp_dir);
// Writes the span from..to (RecSeconds) of the open disk as video files
// (one per camera) with their custody record into dest (created when
// missing). image: the image file read, for the record; empty for drive
// `drive`, which the record names by its device, model and serial. With
// recovered, the GOPs a scan finds that the index no longer names are
// exported instead. Exit code.
int export_video_span(uint32_t from, uint32_t to, const std::string& dest, exporter::Format format,
                      const std::string& image, int drive, bool recovered);
// The same for the copy in the folder copy.
int export_copy_video(const std::string& copy, const std::string& dest, exporter::Format format);
// Makes the video exports print "progress N" lines (0 to 100) on standard
// output as they go.
void set_progress_lines(bool on);
// Makes a Matroska export write every camera as a track of one file.
void set_one_file(bool on);
