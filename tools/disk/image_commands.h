// The forensic commands of velmora-disk: a whole disk into an image file,
// an image checked against the record of its acquisition, and the scan of
// the recorded data that does not trust the index.
#pragma once

// velmora-disk image (DEVICE | --drive N) OUT.img: the arguments after
// "image". Exit code.
int image_command(int argc, char** argv);
// velmora-disk verify OUT.img: the arguments after "verify". Exit code.
int verify_command(int argc, char** argv);
// velmora-disk scan: the disk open through the library; with list, every
// GOP found. Exit code.
int scan_command(bool list);
