// velmora-disk report: the HTML report on a recorder disk or its image.
#pragma once
#include <string>

// Writes the report on the disk open through the library into folder as
// "report.html". image: the image file (for its acquisition record), empty
// for a drive; name: how the report names the disk. Exit code.
int report_command(const std::string& image, const std::string& name, const std::string& folder);
