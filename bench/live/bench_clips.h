// Camera clips for the live benchmarks: four 704 x 480 MPEG-4 clips at 30
// pictures per second in groups of 15, made with ffmpeg when it is there.
#pragma once
#include <cstdlib>
#include <string>

// Writes cam0_704x480.m4v to cam3_704x480.m4v into the current folder at the
// given bit rate (ffmpeg's notation, "4M") and returns folder; without
// ffmpeg, or when it fails, returns fallback. noise > 0 adds changing noise
// of that strength, as a camera's sensor does, so that the clips fill the
// bit rate as a camera's stream does.
inline std::string make_camera_clips(const std::string& folder, const std::string& bitrate, const std::string& fallback,
                                     int noise = 0) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) return fallback;
  const char* sources[4] = {"testsrc2", "smptebars", "rgbtestsrc", "testsrc"};
  for (int k = 0; k < 4; ++k) {
    const std::string cmd =
        std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i ") + sources[k] + "=size=704x480:rate=30" +
        (noise > 0 ? ",noise=alls=" + std::to_string(noise) + ":allf=t" : std::string()) + " -t 4 -c:v mpeg4 -b:v " +
        bitrate + " -maxrate " + bitrate + " -bufsize 2M -g 15 -bf 0 -f m4v cam" + std::to_string(k) + "_704x480.m4v";
    if (std::system(cmd.c_str()) != 0) return fallback;
  }
  return folder;
}
