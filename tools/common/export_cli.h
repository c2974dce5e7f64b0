// The command-line side of the evidence export, shared by velmora-disk and
// velmora-dl.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "exporter/exporter.h"

namespace export_cli {

struct Settings {
  bool progress_lines = false;  // "progress N" lines on standard output
  bool one_file = false;        // Matroska: every camera in one file
};

// "[####    ]  42%" on standard error, when it is a terminal.
void draw_bar(int percent, bool tty);
// The destination folder, made when missing; false (with a message naming
// program) when it cannot be made or is no folder.
bool ensure_folder(const char* program, const std::string& dest);
// Opens the source and exports it into dest with the progress bar, then
// prints the summary. Exit code.
int video_export(const char* program, const std::function<std::unique_ptr<exporter::GopSource>(std::string*)>& open,
                 const std::string& source_path, const std::string& dest, exporter::Format format,
                 exporter::Options options, const Settings& settings);

}  // namespace export_cli
