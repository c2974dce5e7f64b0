// The forensic commands of velmora-disk: a whole disk into an image file,
// and an image checked against the record of its acquisition.
#pragma once

// velmora-disk image (DEVICE | --drive N) OUT.img: the arguments after
// "image". Exit code.
int image_command(int argc, char** argv);
// velmora-disk verify OUT.img: the arguments after "verify". Exit code.
int verify_command(int argc, char** argv);
