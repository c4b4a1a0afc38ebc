#pragma once

class SAData;

// Transfer decoders: Base64, quoted-printable, the "Q" encoding of encoded words
// and uuencode. Each has a buffer form and an object form.
//
// Buffer form: decodes inLength bytes at `in`. Returns 0 on success with *out a
// buffer from malloc (the caller frees it) holding *outLength decoded bytes, or
// −1 on failure (null or empty input, no memory, malformed input where the
// decoder rejects it). No form reads or writes outside the given buffers.
//
// Object form: runs the buffer form on the data's bytes and returns a new data
// object owning the decoded bytes (caller releases), or null on failure.
class SADecoderFactory {
public:
    SADecoderFactory() = delete;

    /// Base64: bytes outside the alphabet are skipped; the first "=" ends the data.
    static int decodeBase64Buffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                  unsigned long* outLength);
    /// Quoted-printable: "=XX" escapes and soft line breaks; bad escapes are
    /// copied literally.
    static int decodeQuotedPrintableBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                           unsigned long* outLength);
    /// "Q": as quoted-printable, "_" is a space; a bad escape fails.
    static int decodeQBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                             unsigned long* outLength);
    /// Uuencode: the data must begin (after blank space) with a "begin " line.
    static int decodeUuencodeBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                    unsigned long* outLength);

    static SAData* decodeBase64(const SAData* data);
    static SAData* decodeQuotedPrintable(const SAData* data);
    static SAData* decodeQ(const SAData* data);
    static SAData* decodeUuencode(const SAData* data);
};
