/*
 * jpegkit: file-to-file picture conversions between baseline JPEG and BMP.
 *
 * Plain C functions; every path is a zero-terminated byte string. Each call
 * opens and closes its own files and frees its own buffers. The library keeps
 * one record of the last picture's header and tables for readmem; calls are
 * serialised inside the library, but callers should still make one call at a
 * time (the record describes whichever call ran last).
 *
 * Pictures in memory and in the BMP files written here are 24-bit, bytes
 * blue, green, red, bottom row first, each row width rounded up to a multiple
 * of 4 pixels times 3 bytes. Decoded pictures are written with that rounded
 * width, so a BMP written here never needs row padding.
 *
 * Codes of the JPEG reader (returned by jpeg_to_bmp as they stand, and by
 * Append_qpx_jpeg for a source or target it cannot read):
 *     0  the picture is not a three-component (colour) picture
 *    -3  wider than 1,024 pixels, or 2,560 lines high or more
 *   -10  the file cannot be opened
 *   -11  no start-of-image marker at the start offset
 *   -12  a marker segment is damaged or the headers end early
 *   -13  a coding process other than baseline/extended sequential Huffman
 *        with 8-bit samples (progressive, arithmetic, lossless, 12-bit ...)
 *   -14  the frame header is invalid (size 0, sampling factors, components)
 *   -15  a quantisation or Huffman table is missing or invalid
 *   -16  the scan header is invalid
 *   -17  the coded data are damaged (invalid code, coefficient overrun,
 *        missing restart marker)
 *   -18  the coded data end before the picture (or its second field) is
 *        complete
 *   -19  an invalid argument (negative offset, scale shift outside 0 to 7,
 *        missing path)
 * Codes of the JPEG writer:
 *   -20  the destination cannot be created or written
 *   -21  the picture is smaller than 16 x 8 pixels, the smallest it writes
 */
#ifndef JPEGKIT_H
#define JPEGKIT_H

#include <stdint.h>

#if defined(__GNUC__)
#define JPEGKIT_API __attribute__((visibility("default")))
#else
#define JPEGKIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes the JPEG picture whose headers start at start_offset of src (0 for
 * a plain JPEG file) and writes it to dst as a 24-bit BMP (created or
 * truncated). A non-zero picture_offset is where the coded data of the picture
 * to decode start (one picture of a multi-picture file, decoded with the
 * headers at the file's start). scale_shift n (0 to 7) divides width and
 * height by 2 to the power n, rounding up.
 * Result: width + 10,000 x height of the written picture; the reader's code
 * (0 or negative, above) when decoding fails, and then dst is not touched;
 * -1 dst cannot be created or written; -2 out of memory. */
JPEGKIT_API int32_t jpeg_to_bmp(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                const char* dst);

/* Decodes as jpeg_to_bmp and writes the picture again as a JPEG (4:2:2,
 * quality factor 10) to dst.
 * Result: 0; -1 decoding failed; -2 out of memory; the writer's code. */
JPEGKIT_API int32_t jpeg_to_jpeg(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                 const char* dst);

/* As jpeg_to_jpeg, but every row of the decoded picture is written twice, so
 * the JPEG is twice as high (for half-height field pictures).
 * Result: 0; -1 decoding failed; -2 out of memory; the writer's code. */
JPEGKIT_API int32_t jpeg_to_Vjpeg(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                  const char* dst);

/* Encodes the BMP src (1, 4, 8 or 24 bits per pixel, uncompressed) as a
 * 4:2:2 JPEG. The width is rounded down to a multiple of 16 and the height to
 * a multiple of 8. quality scales the standard tables: 50 keeps them, smaller
 * is finer (10 gives a fifth), larger is coarser; each value stays in 1..255.
 * Result: 0; -1 src cannot be opened; -2 out of memory; -3 unsupported bit
 * depth or compression; -4 more than 1,048,576 pixels (width rounded up to
 * whole 32-bit words of a row); -5 src is not a BMP or ends before its
 * pixels; the writer's code. */
JPEGKIT_API int32_t bmp_to_jpeg(const char* src, const char* dst, int32_t quality);

/* Writes the BMP src as a 1-bit BMP (black and white palette) scaled by
 * factor: output width = round(width x factor) + width_extra, height =
 * round(height x factor) + height_extra. Source pixel (x, y) sets output pixel
 * (width_extra + x x factor, height_extra + y x factor), rows counted from the
 * bottom; a green value of 128 or more gives white, less gives black; output
 * pixels no source pixel reaches stay white. reserved is not used.
 * Result: 0; -1 dst cannot be created or written; -2 out of memory; -3 and
 * -4 as bmp_to_jpeg; -4 also when the output size is below 1 x 1 or its
 * pixel data would pass 40 MiB; -5 src cannot be opened or read as a BMP. */
JPEGKIT_API int32_t bmp_to_bmp(const char* src, const char* dst, float factor, int32_t reserved, int32_t width_extra,
                               int32_t height_extra);

/* Appends the JPEG picture src to the multi-picture file target, creating the
 * target from src's header when it does not exist. Each picture is stored as
 * a comment segment with its word count, a start-of-scan segment and its
 * coded data padded with 0xFF to whole 32-bit words.
 * Result: 0; -2 src cannot be opened; -3 src's tables, restart interval or
 * scan layout differ from the target's (or do not fit the stored layout);
 * -4 src's size or sampling differs from the target's; -6 src's header is
 * longer than 2,000 bytes; -7 src's coded data exceed 65,535 words or have no
 * end marker; -9 out of memory; -10 target cannot be opened or written;
 * -21 src is not a colour picture; other reader codes for a damaged src or
 * target. On failure the target is left as it was. */
JPEGKIT_API int32_t Append_qpx_jpeg(const char* target, const char* src);

/* Copies count bytes of the library's record of the last picture (a
 * diagnostic aid: picture size, sampling, restart interval, field mode,
 * tables and the last path, at most 250 characters) to dst. Bytes past the
 * end of the record are set to 0. */
JPEGKIT_API void readmem(void* dst, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* JPEGKIT_H */
